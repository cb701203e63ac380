#ifndef PELORIN_UPDATE_CHECK_H
#define PELORIN_UPDATE_CHECK_H

#include <windows.h>

// Versions packed as major * 65536 + minor * 256 + build, compared as unsigned numbers.
#define PACKED_VERSION(major, minor, build) (((major) << 16) + ((minor) << 8) + (build))

// The check runs while the tray serves its icon and menu: WinINet works
// asynchronously and reports each finished step as a message to a window
// of the check's own, on the tray's thread. Connecting, sending and
// receiving get UPDATE_STEP_TIMEOUT_MS each, the whole exchange
// UPDATE_CHECK_TIMEOUT_MS; a check that runs out of time ends like one that
// failed. The reply is read to its end or to its first 255 bytes.
#define UPDATE_STEP_TIMEOUT_MS 5000
#define UPDATE_CHECK_TIMEOUT_MS 10000

// The check under way, or how the last one ended.
struct UpdateCheckRecord {
    int Running;
    int Silent;
    DWORD Offered; // the version that the last reply offered, 0 when none was read
};
extern UpdateCheckRecord UpdateCheck;

// Starts asking the update-check server for the newest version; when it is
// higher than this program's, the user is offered its download page. Silent
// (1) says nothing unless there is a newer version; from the menu (0) it
// also says when there is none. Failures end the check without a word. A
// check asked for while one runs makes that one speak as if asked from the
// menu, when it was.
void CheckForUpdates(int silent);
// Ends a check that is under way, without a word.
void EndUpdateCheck(void);

#endif
