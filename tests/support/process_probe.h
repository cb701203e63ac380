#ifndef PELORIN_PROCESS_PROBE_H
#define PELORIN_PROCESS_PROBE_H

// What other processes hold and which of them run, read from outside:
// handle counts, threads, private bytes, and the processes of a given program.
#include <windows.h>

#include <string>
#include <vector>

// The handles the process holds (Wine answers GetProcessHandleCount with 0);
// -1 when the process cannot be opened to duplicate them.
int CountProcessHandles(DWORD processId);

// The process's private bytes (its page-file usage; Wine leaves
// PrivateUsage 0). 0 when the process cannot be asked.
SIZE_T ProcessPrivateBytes(DWORD processId);

// The threads the process runs now; -1 when the process is not found.
int CountProcessThreads(DWORD processId);

struct RunningProcess {
    DWORD id;
    DWORD parentId;
};

// The running processes whose program file has this name (without regard to case).
std::vector<RunningProcess> ProcessesNamed(const std::string &fileName);

// Waits until the process (0: none) has ended; false when it still runs.
bool WaitForProcessEnd(DWORD processId, DWORD timeoutMs);

#endif
