#include "pipe_client.h"

#include <windows.h>

#include "control_pipe.h"

// Identification only: a program squatting on the pipe's name learns who
// asks but cannot act as the user. Overlapped, so that every wait is bounded.
#define PIPE_OPEN_FLAGS (FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION)

static HANDLE OpenPipe(const char *name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, PIPE_OPEN_FLAGS, NULL);
}

// Every instance is taken while the service hands a client to its thread and
// makes the next one: such a pipe gets one short wait and one more try. A
// service that does not listen at all fails at once.
static HANDLE OpenServicePipe(const char *name)
{
    HANDLE pipe = OpenPipe(name);
    if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY && WaitNamedPipeA(name, PIPE_BUSY_WAIT_MS))
        pipe = OpenPipe(name);
    return pipe;
}

// Finishes a write or read begun on the pipe, by the deadline at most.
// Returns the bytes moved, 0 on a failure or time-out. A late operation is
// cancelled and waited for: until it has ended the system may still write
// into the record and the buffer, which belong to the caller's frame.
static DWORD FinishPipeIo(HANDLE pipe, OVERLAPPED *overlapped, BOOL finished, DWORD deadline)
{
    DWORD moved = 0;
    if (!finished) {
        if (GetLastError() != ERROR_IO_PENDING)
            return 0;
        LONG left = (LONG)(deadline - GetTickCount());
        if (WaitForSingleObject(overlapped->hEvent, left > 0 ? (DWORD)left : 0) != WAIT_OBJECT_0) {
            CancelIo(pipe);
            GetOverlappedResult(pipe, overlapped, &moved, TRUE);
            return 0;
        }
    }
    if (!GetOverlappedResult(pipe, overlapped, &moved, FALSE))
        return 0;
    return moved;
}

// One request on a connection of its own; the reply stays 0 when none comes
// in time. Returns 1 when the pipe was opened, -1 when it could not be, 0
// when the name does not fit (a cut name could reach another machine's service).
static int RequestFromService(const char *vmName, DWORD code, DWORD *reply)
{
    *reply = 0;
    char name[PIPE_NAME_SIZE];
    if (!ComposePipeName(name, vmName))
        return 0;
    HANDLE pipe = OpenServicePipe(name);
    if (pipe == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof(overlapped));
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (overlapped.hEvent != NULL) {
        // One deadline for the whole exchange: the tray's only thread waits here.
        DWORD deadline = GetTickCount() + PIPE_REPLY_TIMEOUT_MS;
        BOOL finished = WriteFile(pipe, &code, sizeof(code), NULL, &overlapped);
        if (FinishPipeIo(pipe, &overlapped, finished, deadline) == sizeof(code)) {
            DWORD received = 0;
            finished = ReadFile(pipe, &received, sizeof(received), NULL, &overlapped);
            if (FinishPipeIo(pipe, &overlapped, finished, deadline) > 0)
                *reply = received;
        }
        CloseHandle(overlapped.hEvent);
    }
    CloseHandle(pipe);
    return 1;
}

int RequestVrdeEnabled(const char *vmName)
{
    DWORD reply;
    RequestFromService(vmName, VrdeEnabled, &reply);
    return (int)reply;
}

int RequestVrdePort(const char *vmName)
{
    DWORD reply;
    if (RequestFromService(vmName, VrdePort, &reply) < 0)
        return -1;
    return (int)reply;
}

int RequestScreenResolution(const char *vmName, int *width, int *height)
{
    DWORD reply;
    int opened = RequestFromService(vmName, ScreenResolution, &reply);
    // Width in the low 16 bits, height in the high 16 bits.
    *width = (int)LOWORD(reply);
    *height = (int)HIWORD(reply);
    return opened;
}
