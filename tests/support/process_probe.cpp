#include "process_probe.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <vector>

namespace {

// NtQuerySystemInformation(SystemHandleInformation): a count, then one entry per handle.
const ULONG SystemHandleInformation = 16;
const LONG StatusInfoLengthMismatch = (LONG)0xC0000004;

struct HandleEntry {
    ULONG processId;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    void *object;
    ACCESS_MASK access;
};

struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};

typedef LONG(WINAPI *QuerySystemInformation)(ULONG, void *, ULONG, ULONG *);

}  // namespace

int CountProcessHandles(DWORD processId)
{
    QuerySystemInformation query =
        (QuerySystemInformation)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (query == NULL)
        return -1;
    std::vector<BYTE> buffer(1 << 20);
    LONG status;
    for (;;) {
        ULONG needed = 0;
        status = query(SystemHandleInformation, buffer.data(), (ULONG)buffer.size(), &needed);
        if (status != StatusInfoLengthMismatch)
            break;
        buffer.resize(buffer.size() * 2);
    }
    if (status < 0)
        return -1;
    const HandleTable *table = (const HandleTable *)buffer.data();
    int count = 0;
    for (ULONG i = 0; i < table->count; i++)
        count += table->entries[i].processId == processId;
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
