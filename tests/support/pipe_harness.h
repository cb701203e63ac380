#ifndef PELORIN_PIPE_HARNESS_H
#define PELORIN_PIPE_HARNESS_H

// A plain client of the service's control pipe, for tests and the demo.
#include <windows.h>

#include <string>

// Connects to the machine's pipe (waiting up to waitMs for a free instance).
// INVALID_HANDLE_VALUE when there is none.
HANDLE ConnectControlPipe(const std::string &vmName, DWORD waitMs = 2000);

// Sends the bytes, then reads until the server closes (with no bytes, closes at once). Returns the number of
// reply bytes (4 for an answer, 0 for none), or -1 when no pipe could be opened.
int ExchangeOnControlPipe(const std::string &vmName, const void *request, DWORD size, DWORD *reply);

// One request code; the reply, or ~0u when none came.
DWORD AskControlPipe(const std::string &vmName, DWORD request);

struct PipeLoad {
    long requests;
    long wrongReplies;  // a reply other than the expected one
    long noReplies;     // no pipe, or no whole reply
    DWORD milliseconds;
};

// Clients at once, each asking its share of the requests in turn VrdeEnabled,
// VrdePort, ScreenResolution (or the first `kinds` of them), and holding each
// reply against expected[code - VrdeEnabled].
PipeLoad RunPipeLoad(const std::string &vmName, int clients, int perClient, const DWORD expected[3], int kinds = 3);

#endif
