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
// through its console under a shared lock. Only a running or paused machine
// is locked: on a machine that no session holds, VirtualBox makes the shared
// lock an exclusive one, and a VBoxHeadless starting meanwhile would fail.
static IConsole *LockConsole(IMachine *machine, ISession *session)
{
    ULONG state = 0;
    if (FAILED(CallVbox(machine, MachineGetState, &state))
        || (state != VboxStateNumber(VmStateRunning) && state != VboxStateNumber(VmStatePaused)))
        return NULL;
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

// -1 (the server has not started, or is off) and 0 (it could not bind) are
// no port to connect to: both answer 0.
static DWORD ReadVrdePort(IConsole *console)
{
    LONG port = 0;
    IVRDEServerInfo *info = NULL;
    if (SUCCEEDED(CallVbox(console, ConsoleGetVrdeServerInfo, &info)) && info != NULL) {
        if (FAILED(CallVbox(info, VrdeServerInfoGetPort, (ULONG *)&port)))
            port = 0;
        info->Release();
    }
    return port > 0 ? (DWORD)port : 0;
}

static DWORD ReadScreenResolution(IConsole *console)
{
    DWORD reply = 0;
    IDisplay *display = NULL;
    if (SUCCEEDED(CallVbox(console, ConsoleGetDisplay, &display)) && display != NULL) {
        ULONG width = 0, height = 0, bitsPerPixel = 0;
        // A blank screen (0 x 0, before the guest set a mode) is no size to open a console with.
        if (SUCCEEDED(CallVboxScreenResolution(display, 0, &width, &height, &bitsPerPixel)) && width != 0
            && height != 0)
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
