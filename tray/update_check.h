#ifndef PELORIN_UPDATE_CHECK_H
#define PELORIN_UPDATE_CHECK_H

#include <windows.h>

// Versions packed as major * 65536 + minor * 256 + build, compared as unsigned numbers.
#define PACKED_VERSION(major, minor, build) (((major) << 16) + ((minor) << 8) + (build))

// Asks the update-check server for the newest version and, when it is
// higher than this program's, offers to open its download page. Silent (1)
// says nothing unless there is a newer version; from the menu (0) it also
// says when there is none. Failures end the check without a word. Returns
// the offered version, 0 when none was read.
DWORD CheckForUpdates(int silent);

#endif
