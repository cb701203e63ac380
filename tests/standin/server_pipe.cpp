// The server's private control pipe (protocol in standin_pipe.h): how tests
// reset and end the server, and how VBoxHeadless stand-ins attach to it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "server.h"
#include "standin_pipe.h"
#include "standin_store.h"

namespace {

HANDLE CreateControlPipe(DWORD extraFlags)
{
    return CreateNamedPipeA(STANDIN_PIPE_NAME, PIPE_ACCESS_DUPLEX | extraFlags, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, NULL);
}

void ServeRequest(HANDLE pipe, const char *request)
{
    char reply[64];
    if (strcmp(request, "PING") == 0) {
        snprintf(reply, sizeof(reply), "OK %lu", GetCurrentProcessId());
        WriteStandinLine(pipe, reply);
    } else if (strcmp(request, "RESET") == 0) {
        EndAllMachines();
        WriteStandinLine(pipe, ClearStandinStore() ? "OK" : "ERR the catalogue could not be cleared");
    } else if (strcmp(request, "SHUTDOWN") == 0 || strcmp(request, "RESTART") == 0) {
        WriteStandinLine(pipe, "OK");
        RequestServerShutdown(strcmp(request, "RESTART") == 0);
    } else if (strncmp(request, "GUEST ", 6) == 0) {
        NoteGuestChange(request + 6);
        WriteStandinLine(pipe, "OK");
    } else if (strncmp(request, "HEADLESS-ENDS ", 14) == 0) {
        char how[16] = "";
        const char *name = strchr(request + 14, ' ');
        if (name != NULL && (size_t)(name - (request + 14)) < sizeof(how))
            lstrcpynA(how, request + 14, (int)(name - (request + 14)) + 1);
        int ended = name != NULL && EndMachineFromHeadless(name + 1, how);
        WriteStandinLine(pipe, ended ? "OK" : "ERR no VBoxHeadless runs it, or its state forbids");
    } else if (strncmp(request, "ATTACH ", 7) == 0) {
        char *rest = NULL;
        unsigned long pid = strtoul(request + 7, &rest, 10);
        if (pid == 0 || rest == NULL || *rest != ' ')
            WriteStandinLine(pipe, "ERR malformed ATTACH");
        else
            ServeHeadlessAttachment(pipe, (DWORD)pid, rest + 1);
    } else {
        WriteStandinLine(pipe, "ERR unknown request");
    }
}

DWORD WINAPI ServeConnection(void *context)
{
    HANDLE pipe = (HANDLE)context;
    char request[512];
    if (ReadStandinLine(pipe, request, sizeof(request))) {
        NoteServerActivity();
        ServeRequest(pipe, request);
        NoteServerActivity();
    }
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    return 0;
}

DWORD WINAPI AcceptConnections(void *context)
{
    HANDLE pipe = (HANDLE)context;
    for (;;) {
        if (pipe == INVALID_HANDLE_VALUE) {
            Sleep(100);
        } else if (ConnectNamedPipe(pipe, NULL) || GetLastError() == ERROR_PIPE_CONNECTED) {
            HANDLE thread = CreateThread(NULL, 0, ServeConnection, pipe, 0, NULL);
            if (thread == NULL) {
                DisconnectNamedPipe(pipe);
                CloseHandle(pipe);
            } else {
                CloseHandle(thread);
            }
        } else {
            CloseHandle(pipe);
        }
        pipe = CreateControlPipe(0);
    }
    return 0;
}

}  // namespace

HANDLE CreateFirstControlPipe(void)
{
    return CreateControlPipe(FILE_FLAG_FIRST_PIPE_INSTANCE);
}

void StartControlPipeThread(HANDLE firstPipe)
{
    HANDLE thread = CreateThread(NULL, 0, AcceptConnections, firstPipe, 0, NULL);
    if (thread != NULL)
        CloseHandle(thread);
}
