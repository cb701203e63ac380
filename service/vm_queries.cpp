#include "vm_queries.h"

#include "vbox_session.h"

static void ReleaseKept(IUnknown **object)
{
    if (*object != NULL)
        (*object)->Release();
    *object = NULL;
}

void LetGoOfConsole(struct KeptQueryObjects *kept, ISession *session)
{
    ReleaseKept(&kept->vrdeServerInfo);
    ReleaseKept(&kept->display);
    if (kept->console != NULL) {
        ReleaseKept(&kept->console);
        CallVbox(session, SessionUnlockMachine);
    }
}

void LetGoOfQueryObjects(struct KeptQueryObjects *kept, ISession *session)
{
    LetGoOfConsole(kept, session);
    ReleaseKept(&kept->vrdeServer);
    ReleaseKept(&kept->machine);
}

DWORD ReadVrdeEnabled(struct KeptQueryObjects *kept, HRESULT *result)
{
    HRESULT called = kept->vrdeServer != NULL ? S_OK : CallVbox(kept->machine, MachineGetVrdeServer, &kept->vrdeServer);
    if (SUCCEEDED(called) && kept->vrdeServer == NULL)
        called = E_POINTER;
    BOOL enabled = FALSE;
    if (SUCCEEDED(called))
        called = CallVbox(kept->vrdeServer, VrdeServerGetEnabled, (ULONG *)&enabled);
    *result = called;
    return SUCCEEDED(called) && enabled ? 1 : 0;
}

// The port and the screen size belong to the running machine: they are read
// through its console, under a shared lock that is kept while the machine
// runs. Only a running or paused machine is locked: on a machine that no
// session holds, VirtualBox makes the shared lock an exclusive one, and a
// VBoxHeadless starting meanwhile would fail.
static int HoldConsole(struct KeptQueryObjects *kept, ISession *session, HRESULT *result)
{
    ULONG state = 0;
    *result = CallVbox(kept->machine, MachineGetState, &state);
    if (FAILED(*result) || (state != VboxStateNumber(VmStateRunning) && state != VboxStateNumber(VmStatePaused))) {
        LetGoOfConsole(kept, session);
        return 0;
    }
    if (kept->console != NULL)
        return 1;
    if (session == NULL || FAILED(CallVbox(kept->machine, MachineLockMachine, session, LockTypeShared)))
        return 0;
    if (FAILED(CallVbox(session, SessionGetConsole, &kept->console)) || kept->console == NULL) {
        kept->console = NULL;
        CallVbox(session, SessionUnlockMachine);
        return 0;
    }
    return 1;
}

// -1 (the server has not started, or is off) and 0 (it could not bind) are
// no port to connect to: both answer 0.
DWORD ReadVrdePort(struct KeptQueryObjects *kept, ISession *session, HRESULT *result)
{
    if (!HoldConsole(kept, session, result))
        return 0;
    HRESULT called = kept->vrdeServerInfo != NULL
        ? S_OK : CallVbox(kept->console, ConsoleGetVrdeServerInfo, &kept->vrdeServerInfo);
    LONG port = 0;
    if (SUCCEEDED(called) && kept->vrdeServerInfo != NULL)
        called = CallVbox(kept->vrdeServerInfo, VrdeServerInfoGetPort, (ULONG *)&port);
    // A console that fails (its machine stopped meanwhile) is taken anew next
    // time; a server that has gone shows in the result.
    if (FAILED(called) || kept->vrdeServerInfo == NULL) {
        *result = called;
        LetGoOfConsole(kept, session);
        return 0;
    }
    return port > 0 ? (DWORD)port : 0;
}

DWORD ReadScreenResolution(struct KeptQueryObjects *kept, ISession *session, HRESULT *result)
{
    if (!HoldConsole(kept, session, result))
        return 0;
    HRESULT called = kept->display != NULL ? S_OK : CallVbox(kept->console, ConsoleGetDisplay, &kept->display);
    ULONG width = 0, height = 0, bitsPerPixel = 0;
    if (SUCCEEDED(called) && kept->display != NULL)
        called = CallVboxScreenResolution(kept->display, 0, &width, &height, &bitsPerPixel);
    if (FAILED(called) || kept->display == NULL) {
        *result = called;
        LetGoOfConsole(kept, session);
        return 0;
    }
    // A blank screen (0 x 0, before the guest set a mode) is no size to open a console with.
    return width != 0 && height != 0 ? (DWORD)(height * 65536 + width) : 0;
}

// One question from scratch, and everything let go again.
static DWORD AskOnce(IVirtualBox *virtualBox, ISession *session, const char *name, HRESULT *result,
                     DWORD (*read)(struct KeptQueryObjects *kept, ISession *session, HRESULT *result))
{
    struct KeptQueryObjects kept;
    ZeroMemory(&kept, sizeof(kept));
    HRESULT called = S_OK;
    DWORD reply = 0;
    if (FindMachine(virtualBox, name, &kept.machine, &called))
        reply = read(&kept, session, &called);
    LetGoOfQueryObjects(&kept, session);
    if (result != NULL)
        *result = called;
    return reply;
}

static DWORD ReadVrdeEnabledOnly(struct KeptQueryObjects *kept, ISession *, HRESULT *result)
{
    return ReadVrdeEnabled(kept, result);
}

DWORD QueryVrdeEnabled(IVirtualBox *virtualBox, const char *name, HRESULT *result)
{
    return AskOnce(virtualBox, NULL, name, result, ReadVrdeEnabledOnly);
}

DWORD QueryVrdePort(IVirtualBox *virtualBox, ISession *session, const char *name, HRESULT *result)
{
    return AskOnce(virtualBox, session, name, result, ReadVrdePort);
}

DWORD QueryScreenResolution(IVirtualBox *virtualBox, ISession *session, const char *name, HRESULT *result)
{
    return AskOnce(virtualBox, session, name, result, ReadScreenResolution);
}
