#include "vm_queries.h"

#include "vbox_session.h"

DWORD QueryVrdeEnabled(IVirtualBox *virtualBox, const char *name, HRESULT *lookup)
{
    IMachine *machine = NULL;
    if (!FindMachine(virtualBox, name, &machine, lookup))
        return 0;
    BOOL enabled = FALSE;
    IVRDEServer *server = NULL;
    if (SUCCEEDED(CallVbox(machine, MachineGetVrdeServer, &server)) && server != NULL) {
        CallVbox(server, VrdeServerGetEnabled, (ULONG *)&enabled);
        server->Release();
    }
    machine->Release();
    return enabled ? 1 : 0;
}

// The port and the screen size belong to the running machine: they are read
// through its console under a shared lock.
static IConsole *LockConsole(IMachine *machine, ISession *session)
{
    BSTR uuid = NULL;
    HRESULT result = CallVbox(machine, MachineGetId, &uuid);
    SysFreeString(uuid);
    if (FAILED(result) || FAILED(CallVbox(machine, MachineLockMachine, session, LockTypeShared)))
        return NULL;
    IConsole *console = NULL;
    if (FAILED(CallVbox(session, SessionGetConsole, &console)) || console == NULL) {
        CallVbox(session, SessionUnlockMachine);
        return NULL;
    }
    return console;
}

static DWORD ReadVrdePort(IConsole *console)
{
    LONG port = 0;
    IVRDEServerInfo *info = NULL;
    if (SUCCEEDED(CallVbox(console, ConsoleGetVrdeServerInfo, &info)) && info != NULL) {
        CallVbox(info, VrdeServerInfoGetPort, (ULONG *)&port);
        info->Release();
    }
    return (DWORD)port;
}

static DWORD ReadScreenResolution(IConsole *console)
{
    DWORD reply = 0;
    IDisplay *display = NULL;
    if (SUCCEEDED(CallVbox(console, ConsoleGetDisplay, &display)) && display != NULL) {
        ULONG width = 0, height = 0, bitsPerPixel = 0;
        if (SUCCEEDED(CallVboxScreenResolution(display, 0, &width, &height, &bitsPerPixel)))
            reply = (DWORD)(height * 65536 + width);
        display->Release();
    }
    return reply;
}

static DWORD QueryThroughConsole(IVirtualBox *virtualBox, ISession *session, const char *name,
                                 DWORD (*read)(IConsole *console), HRESULT *lookup)
{
    IMachine *machine = NULL;
    if (!FindMachine(virtualBox, name, &machine, lookup))
        return 0;
    DWORD reply = 0;
    IConsole *console = LockConsole(machine, session);
    if (console != NULL) {
        reply = read(console);
        console->Release();
        CallVbox(session, SessionUnlockMachine);
    }
    machine->Release();
    return reply;
}

DWORD QueryVrdePort(IVirtualBox *virtualBox, ISession *session, const char *name, HRESULT *lookup)
{
    return QueryThroughConsole(virtualBox, session, name, ReadVrdePort, lookup);
}

DWORD QueryScreenResolution(IVirtualBox *virtualBox, ISession *session, const char *name, HRESULT *lookup)
{
    return QueryThroughConsole(virtualBox, session, name, ReadScreenResolution, lookup);
}
