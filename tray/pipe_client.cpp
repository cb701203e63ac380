#include "pipe_client.h"

#include <windows.h>

#include "control_pipe.h"

// One request on a connection of its own; the reply stays 0 when none is
// read. Returns 1 when the pipe was opened, -1 when it could not be, 0 when
// the name does not fit (a cut name could reach another machine's service).
static int RequestFromService(const char *vmName, DWORD code, DWORD *reply)
{
    *reply = 0;
    char name[PIPE_NAME_SIZE];
    if (!ComposePipeName(name, vmName))
        return 0;
    // No waiting for a busy pipe: the menu is not held up for a service that does not listen.
    HANDLE pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (pipe == INVALID_HANDLE_VALUE)
        return -1;
    DWORD written = 0;
    DWORD read = 0;
    if (WriteFile(pipe, &code, sizeof(code), &written, NULL))
        ReadFile(pipe, reply, sizeof(*reply), &read, NULL);
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
