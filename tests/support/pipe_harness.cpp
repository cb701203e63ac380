#include "pipe_harness.h"

#include <process.h>

#include <vector>

#include "control_pipe.h"

HANDLE ConnectControlPipe(const std::string &vmName, DWORD waitMs)
{
    char name[PIPE_NAME_SIZE];
    if (!ComposePipeName(name, vmName.c_str()))
        return INVALID_HANDLE_VALUE;
    for (DWORD waited = 0;; waited += 20) {
        HANDLE pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (pipe != INVALID_HANDLE_VALUE || waited >= waitMs)
            return pipe;
        if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeA(name, 20))
            Sleep(20);
    }
}

int ExchangeOnControlPipe(const std::string &vmName, const void *request, DWORD size, DWORD *reply)
{
    HANDLE pipe = ConnectControlPipe(vmName);
    if (pipe == INVALID_HANDLE_VALUE)
        return -1;
    DWORD count = 0;
    if (size == 0) {
        // Connects and goes: the server's read fails.
        CloseHandle(pipe);
        return 0;
    }
    WriteFile(pipe, request, size, &count, NULL);
    char buffer[16];
    int total = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &count, NULL) && count > 0) {
        if (total + count <= sizeof(*reply))
            memcpy((char *)reply + total, buffer, count);
        total += (int)count;
    }
    CloseHandle(pipe);
    return total;
}

DWORD AskControlPipe(const std::string &vmName, DWORD request)
{
    DWORD reply = 0;
    return ExchangeOnControlPipe(vmName, &request, sizeof(request), &reply) == (int)sizeof(reply) ? reply : ~0u;
}

namespace {

struct PipeClient {
    const std::string *vmName;
    int first;
    int count;
    int kinds;
    const DWORD *expected;
    PipeLoad *load;
};

unsigned __stdcall AskInTurn(void *argument)
{
    const PipeClient &client = *(const PipeClient *)argument;
    for (int i = 0; i < client.count; i++) {
        DWORD offset = (DWORD)((client.first + i) % client.kinds);
        DWORD reply = AskControlPipe(*client.vmName, VrdeEnabled + offset);
        if (reply == ~0u)
            InterlockedIncrement(&client.load->noReplies);
        else if (reply != client.expected[offset])
            InterlockedIncrement(&client.load->wrongReplies);
        InterlockedIncrement(&client.load->requests);
    }
    return 0;
}

}  // namespace

PipeLoad RunPipeLoad(const std::string &vmName, int clients, int perClient, const DWORD expected[3], int kinds)
{
    PipeLoad load = {};
    std::vector<PipeClient> shares(clients);
    std::vector<HANDLE> threads;
    DWORD start = GetTickCount();
    for (int i = 0; i < clients; i++) {
        shares[i] = { &vmName, i, perClient, kinds, expected, &load };
        HANDLE thread = (HANDLE)_beginthreadex(NULL, 0, AskInTurn, &shares[i], 0, NULL);
        if (thread != NULL)
            threads.push_back(thread);
    }
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    load.milliseconds = GetTickCount() - start;
    return load;
}
