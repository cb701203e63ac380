#include "process_probe.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <vector>

// The handles of one process are counted by duplicating each of its handle
// values in turn. Wine 8's server answers SystemHandleInformation by walking
// every process's handle table, and it reads past the end of an empty one
// (an unsigned index against a last entry of -1): a process that had just
// closed its last handle crashed the prefix's wineserver, and with it every
// test after. Wine hands out the lowest free handle value first, so live
// handles lie low; the count ends well past the last one found.
int CountProcessHandles(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_DUP_HANDLE, FALSE, processId);
    if (process == NULL)
        return -1;
    const ULONG_PTR PastTheLastFound = 4 * 256;
    int count = 0;
    ULONG_PTR lastFound = 0;
    for (ULONG_PTR value = 4; value <= lastFound + PastTheLastFound; value += 4) {
        HANDLE copy = NULL;
        if (DuplicateHandle(process, (HANDLE)value, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            CloseHandle(copy);
            count++;
            lastFound = value;
        }
    }
    CloseHandle(process);
    return count;
}

SIZE_T ProcessPrivateBytes(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == NULL)
        return 0;
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    BOOL read = GetProcessMemoryInfo(process, &counters, sizeof(counters));
    CloseHandle(process);
    return read ? counters.PagefileUsage : 0;
}

int CountProcessThreads(DWORD processId)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int threads = -1;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more && threads < 0; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == processId)
            threads = (int)entry.cntThreads;
    }
    CloseHandle(snapshot);
    return threads;
}

std::vector<RunningProcess> ProcessesNamed(const std::string &fileName)
{
    std::vector<RunningProcess> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, fileName.c_str()) == 0)
            found.push_back({ entry.th32ProcessID, entry.th32ParentProcessID });
    }
    CloseHandle(snapshot);
    return found;
}

bool WaitForProcessEnd(DWORD processId, DWORD timeoutMs)
{
    HANDLE process = processId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, processId) : NULL;
    if (process == NULL)
        return true;
    bool ended = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}
