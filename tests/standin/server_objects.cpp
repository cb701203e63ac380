// The objects of the stand-in's COM server: the VirtualBox object and the
// per-machine objects that it hands out, all of the generation that the
// VirtualBox object was created with. Each call is journalled; a fault set for
// a method makes it fail with that result before it does anything.
#include <stdio.h>
#include <string.h>

#include "com_object.h"
#include "server.h"
#include "standin_journal.h"
#include "standin_store.h"

BSTR NewBstrFromAnsi(const char *text)
{
    int count = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    if (count <= 0)
        return SysAllocString(L"");
    BSTR result = SysAllocStringLen(NULL, (UINT)(count - 1));
    if (result != NULL)
        MultiByteToWideChar(CP_ACP, 0, text, -1, result, count);
    return result;
}

void CopyBstrToAnsi(BSTR text, char *target, size_t size)
{
    target[0] = '\0';
    if (text == NULL)
        return;
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, target, (int)size, NULL, NULL) == 0)
        target[size - 1] = '\0';
}

SessionLock::SessionLock(const char *machineName) : exclusive(0), references(1), held(1), client(NULL)
{
    lstrcpynA(machine, machineName, sizeof(machine));
    CountServerObject(1);
}

SessionLock::~SessionLock()
{
    if (client != NULL)
        CloseHandle(client);
    CountServerObject(-1);
}

STDMETHODIMP SessionLock::QueryInterface(REFIID iid, void **out)
{
    if (out == NULL)
        return E_POINTER;
    *out = NULL;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) && !IsEqualIID(iid, IID_IStandinLock))
        return E_NOINTERFACE;
    *out = static_cast<IStandinLock *>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) SessionLock::AddRef()
{
    return (ULONG)InterlockedIncrement(&references);
}

STDMETHODIMP_(ULONG) SessionLock::Release()
{
    LONG left = InterlockedDecrement(&references);
    if (left == 0)
        delete this;
    return (ULONG)left;
}

STDMETHODIMP SessionLock::GetTypeInfoCount(UINT *count)
{
    if (count == NULL)
        return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP SessionLock::GetTypeInfo(UINT, LCID, ITypeInfo **info)
{
    if (info != NULL)
        *info = NULL;
    return E_NOTIMPL;
}

STDMETHODIMP SessionLock::GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *)
{
    return E_NOTIMPL;
}

STDMETHODIMP SessionLock::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *)
{
    return E_NOTIMPL;
}

STDMETHODIMP SessionLock::Unlock()
{
    GiveBack();
    if (exclusive)
        ReleaseMachineLock(this);
    NoteServerActivity();
    return S_OK;
}

void SessionLock::SetClient(DWORD pid)
{
    if (client == NULL && pid != 0)
        client = OpenProcess(SYNCHRONIZE, FALSE, pid);
}

int SessionLock::ClientGone() const
{
    return client != NULL && WaitForSingleObject(client, 0) == WAIT_OBJECT_0;
}

namespace {

// GuestMonitorStatus: Enabled for a screen with a mode, Blank for 0 x 0.
const LONG MonitorEnabled = 1;
const LONG MonitorBlank = 2;

class ServerObject : public StandinObject {
public:
    HRESULT JournalCall(const char *method, HRESULT result)
    {
        JournalLine line;
        BeginCallLine(&line, method);
        return FinishCallLine(&line, result);
    }
    // Positions of a method table that pelorin never calls: journalled, refused.
    HRESULT CallFiller(int position) override
    {
        char method[32];
        snprintf(method, sizeof(method), "Unused%d", position);
        return JournalCall(method, E_NOTIMPL);
    }

protected:
    // Without a generation (none chosen) the object has no interface of VirtualBox's.
    ServerObject(const StandinGeneration *objectGeneration, StandinInterfaceKind kind, const char *machineName)
        : StandinObject(objectGeneration != NULL ? &objectGeneration->interfaces[kind] : NULL),
          generation(objectGeneration),
          typedMarshal((IUnknown *)Face(), objectGeneration != NULL ? &objectGeneration->interfaces[kind].marshalIid : NULL)
    {
        // Every generation journals an interface by the same name.
        lstrcpynA(face, StandinGenerations[0].interfaces[kind].name, sizeof(face));
        lstrcpynA(machine, machineName, sizeof(machine));
        CountServerObject(1);
    }
    ~ServerObject() override
    {
        CountServerObject(-1);
    }
    // Marshaled as the generation's interface, so that the client's proxy
    // answers the identifier check without a call, as with VirtualBox's typed
    // declarations; unless a later release's identifier is played: the
    // client's check must then reach the object, which refuses it.
    void *QueryOtherInterface(REFIID iid) override
    {
        GUID other;
        if (IsEqualIID(iid, IID_IMarshal) && layout != NULL && !ReadStandinMismatch(layout->name, &other))
            return static_cast<IMarshal *>(&typedMarshal);
        return NULL;
    }
    void BeginCallLine(JournalLine *line, const char *method)
    {
        char call[128];
        snprintf(call, sizeof(call), "%s::%s", face, method);
        BeginJournalLine(line, call);
        if (machine[0] != '\0')
            AddJournalString(line, "machine", machine);
    }
    HRESULT FinishCallLine(JournalLine *line, HRESULT result)
    {
        WriteJournalLine(line, result);
        NoteServerActivity();
        return result;
    }
    HRESULT Fault(const char *method)
    {
        char call[128];
        snprintf(call, sizeof(call), "%s::%s", face, method);
        return ReadStandinFault(call);
    }
    HRESULT ReadCatalogued(StandinMachine *found)
    {
        return ReadStandinMachine(machine, found) ? S_OK : STANDIN_E_OBJECT_NOT_FOUND;
    }

    const StandinGeneration *const generation;
    StandinTypedMarshal typedMarshal;
    char face[32];
    char machine[256];
};

class VrdeServerObject : public ServerObject {
public:
    VrdeServerObject(const StandinGeneration *generation, const char *machineName)
        : ServerObject(generation, StandinInterface_IVRDEServer, machineName)
    {
    }

    HRESULT get_Enabled(long *enabled)
    {
        if (enabled == NULL)
            return JournalCall("get_Enabled", E_POINTER);
        *enabled = 0;
        StandinMachine catalogued;
        HRESULT result = Fault("get_Enabled");
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        if (SUCCEEDED(result))
            *enabled = catalogued.vrdeEnabled;
        return JournalCall("get_Enabled", result);
    }
};

// The remote display's port: -1 until its server has started (never on a
// console that is not powered up) and while remote display is disabled; the
// catalogue may hold -1 (not started yet) or 0 (it could not bind its port).
class VrdeServerInfoObject : public ServerObject {
public:
    VrdeServerInfoObject(const StandinGeneration *generation, const char *machineName, int consolePoweredUp)
        : ServerObject(generation, StandinInterface_IVRDEServerInfo, machineName), poweredUp(consolePoweredUp)
    {
    }

    HRESULT get_Port(long *port)
    {
        if (port == NULL)
            return JournalCall("get_Port", E_POINTER);
        *port = 0;
        StandinMachine catalogued;
        HRESULT result = Fault("get_Port");
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        if (SUCCEEDED(result)) {
            int running = IsOnlineState(StandinStateOf(generation, catalogued.state));
            *port = poweredUp && running && catalogued.vrdeEnabled ? catalogued.vrdePort : -1;
        }
        return JournalCall("get_Port", result);
    }

private:
    const int poweredUp;
};

class DisplayObject : public ServerObject {
public:
    DisplayObject(const StandinGeneration *generation, const char *machineName, int consolePoweredUp)
        : ServerObject(generation, StandinInterface_IDisplay, machineName), poweredUp(consolePoweredUp)
    {
    }

    HRESULT GetScreenResolution(ULONG screenId, ULONG *width, ULONG *height, ULONG *bitsPerPixel)
    {
        LONG xOrigin, yOrigin, monitorStatus;
        return Resolution(screenId, width, height, bitsPerPixel, &xOrigin, &yOrigin, &monitorStatus);
    }
    // From 5.2 on: the screen's origin and its monitor's status as well.
    HRESULT GetScreenResolutionAndOrigin(ULONG screenId, ULONG *width, ULONG *height, ULONG *bitsPerPixel, LONG *xOrigin,
                                         LONG *yOrigin, LONG *monitorStatus)
    {
        return Resolution(screenId, width, height, bitsPerPixel, xOrigin, yOrigin, monitorStatus);
    }

private:
    HRESULT Resolution(ULONG screenId, ULONG *width, ULONG *height, ULONG *bitsPerPixel, LONG *xOrigin, LONG *yOrigin,
                       LONG *monitorStatus)
    {
        JournalLine line;
        BeginCallLine(&line, "GetScreenResolution");
        AddJournalNumber(&line, "screenId", screenId);
        if (width == NULL || height == NULL || bitsPerPixel == NULL || xOrigin == NULL || yOrigin == NULL ||
            monitorStatus == NULL)
            return FinishCallLine(&line, E_POINTER);
        *width = *height = *bitsPerPixel = 0;
        *xOrigin = *yOrigin = *monitorStatus = 0;
        StandinMachine catalogued;
        HRESULT result = Fault("GetScreenResolution");
        // The stand-in's machines have one screen.
        if (SUCCEEDED(result) && screenId != 0)
            result = E_INVALIDARG;
        // 4.0's console of a machine that does not run has no display driver.
        if (SUCCEEDED(result) && !poweredUp)
            result = E_ACCESSDENIED;
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        if (SUCCEEDED(result)) {
            *width = catalogued.width;
            *height = catalogued.height;
            *bitsPerPixel = catalogued.bitsPerPixel;
            // Before the guest has set a mode the screen is 0 x 0, its monitor blank.
            *monitorStatus = catalogued.width == 0 && catalogued.height == 0 ? MonitorBlank : MonitorEnabled;
        }
        return FinishCallLine(&line, result);
    }

    const int poweredUp;
};

// A progress reports its operation's outcome in ResultCode (E_FAIL until the
// operation is complete); WaitForCompletion only waits, and succeeds whatever
// the outcome, and when its time-out elapses.
class ProgressObject : public ServerObject {
public:
    ProgressObject(const StandinGeneration *generation, const char *machineName)
        : ServerObject(generation, StandinInterface_IProgress, machineName), claimed(0), completed(0),
          resultCode(S_OK), aborted(0)
    {
        done = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    ~ProgressObject() override
    {
        if (done != NULL)
            CloseHandle(done);
    }

    void Complete(HRESULT result, int abort)
    {
        if (InterlockedCompareExchange(&claimed, 1, 0) == 0) {
            resultCode = result;
            aborted = abort;
            InterlockedExchange(&completed, 1);
            SetEvent(done);
        }
    }

    HRESULT get_Completed(long *isCompleted)
    {
        if (isCompleted == NULL)
            return JournalCall("get_Completed", E_POINTER);
        HRESULT result = Fault("get_Completed");
        *isCompleted = SUCCEEDED(result) && completed ? 1 : 0;
        return JournalCall("get_Completed", result);
    }
    HRESULT get_ResultCode(long *code)
    {
        if (code == NULL)
            return JournalCall("get_ResultCode", E_POINTER);
        *code = 0;
        HRESULT result = Fault("get_ResultCode");
        if (SUCCEEDED(result) && !completed)
            result = E_FAIL;
        if (SUCCEEDED(result))
            *code = resultCode;
        return JournalCall("get_ResultCode", result);
    }
    // The stand-in gives no error object: S_OK with NULL once complete.
    HRESULT get_ErrorInfo(void **info)
    {
        if (info == NULL)
            return JournalCall("get_ErrorInfo", E_POINTER);
        *info = NULL;
        HRESULT result = Fault("get_ErrorInfo");
        if (SUCCEEDED(result) && !completed)
            result = E_FAIL;
        return JournalCall("get_ErrorInfo", result);
    }
    HRESULT WaitForCompletion(long timeout)
    {
        JournalLine line;
        BeginCallLine(&line, "WaitForCompletion");
        AddJournalNumber(&line, "timeout", timeout);
        HRESULT result = Fault("WaitForCompletion");
        if (SUCCEEDED(result) && done == NULL)
            result = E_OUTOFMEMORY;
        // Journalled before the wait, so that the line keeps its place in call order.
        FinishCallLine(&line, result);
        if (FAILED(result))
            return result;
        WaitForSingleObject(done, timeout < 0 ? INFINITE : (DWORD)timeout);
        // A reset or the server's end is no outcome of the operation.
        return completed && aborted ? E_ABORT : S_OK;
    }

private:
    HANDLE done;
    volatile LONG claimed;
    volatile LONG completed;
    HRESULT resultCode;
    int aborted;
};

// The stops of a console and of a session's machine: the machine runtime
// journals the line once the outcome is known and before the machine's
// process can react, so that the order holds.
HRESULT StopMachine(const StandinGeneration *generation, const char *machine, JournalLine *line, HRESULT begun,
                    StopOperation operation, const char *method, void **progress)
{
    if (FAILED(begun)) {
        WriteJournalLine(line, begun);
        NoteServerActivity();
        return begun;
    }
    NoteServerActivity();
    return StartMachineStop(generation, machine, operation, method, progress, line);
}

// Up to 4.0 every session had a console, powered up or not; from 5.2 on a
// session that does not run the machine has none.
int WriteLockHasConsole(const StandinGeneration *generation)
{
    const StandinInterfaceLayout &session = generation->interfaces[StandinInterface_ISession];
    for (int i = 0; i < session.slotCount; i++) {
        if (session.slots[i].method == StandinMethod_SessionMachine)
            return 0;
    }
    return 1;
}

class ConsoleObject : public ServerObject {
public:
    // A console that is not powered up is 4.0's under an exclusive lock.
    ConsoleObject(const StandinGeneration *generation, const char *machineName, SessionLock *sessionLock,
                  int consolePoweredUp)
        : ServerObject(generation, StandinInterface_IConsole, machineName), lock(sessionLock), poweredUp(consolePoweredUp)
    {
        lock->AddRef();
    }
    ~ConsoleObject() override
    {
        lock->Release();
    }

    HRESULT get_Display(void **display)
    {
        if (display == NULL)
            return JournalCall("get_Display", E_POINTER);
        *display = NULL;
        HRESULT result = Begin("get_Display");
        if (SUCCEEDED(result))
            *display = (new DisplayObject(generation, machine, poweredUp))->Face();
        return JournalCall("get_Display", result);
    }
    HRESULT get_VRDEServerInfo(void **info)
    {
        if (info == NULL)
            return JournalCall("get_VRDEServerInfo", E_POINTER);
        *info = NULL;
        HRESULT result = Begin("get_VRDEServerInfo");
        if (SUCCEEDED(result))
            *info = (new VrdeServerInfoObject(generation, machine, poweredUp))->Face();
        return JournalCall("get_VRDEServerInfo", result);
    }
    HRESULT PowerDown(void **progress)
    {
        return Stop("PowerDown", StopPowerDown, progress);
    }
    // Up to 4.0; later generations save through the session's machine.
    HRESULT SaveState(void **progress)
    {
        return Stop("SaveState", StopSaveState, progress);
    }
    HRESULT PowerButton()
    {
        return Press("PowerButton");
    }
    HRESULT SleepButton()
    {
        return Press("SleepButton");
    }
    HRESULT GetGuestEnteredACPIMode(long *entered)
    {
        JournalLine line;
        BeginCallLine(&line, "GetGuestEnteredACPIMode");
        if (entered == NULL)
            return FinishCallLine(&line, E_POINTER);
        *entered = 0;
        HRESULT result = BeginMachineCall("GetGuestEnteredACPIMode");
        if (FAILED(result))
            return FinishCallLine(&line, result);
        NoteServerActivity();
        return AskGuestEnteredAcpiMode(generation, machine, entered, &line);
    }

private:
    // The fault first, then the lock: a console outlives its session's lock.
    HRESULT Begin(const char *method)
    {
        HRESULT result = Fault(method);
        if (SUCCEEDED(result) && !lock->Held())
            result = STANDIN_E_INVALID_OBJECT_STATE;
        return result;
    }
    // A call that needs the machine to run: refused by a console not powered up.
    HRESULT BeginMachineCall(const char *method)
    {
        HRESULT result = Begin(method);
        if (SUCCEEDED(result) && !poweredUp)
            result = STANDIN_E_INVALID_VM_STATE;
        return result;
    }
    HRESULT Stop(const char *method, StopOperation operation, void **progress)
    {
        JournalLine line;
        BeginCallLine(&line, method);
        if (progress == NULL)
            return FinishCallLine(&line, E_POINTER);
        *progress = NULL;
        char call[64];
        snprintf(call, sizeof(call), "IConsole::%s", method);
        return StopMachine(generation, machine, &line, BeginMachineCall(method), operation, call, progress);
    }
    HRESULT Press(const char *button)
    {
        JournalLine line;
        BeginCallLine(&line, button);
        HRESULT result = BeginMachineCall(button);
        if (FAILED(result))
            return FinishCallLine(&line, result);
        NoteServerActivity();
        return PressMachineButton(generation, machine, button, &line);
    }

    SessionLock *lock;
    const int poweredUp;
};

class MachineObject : public ServerObject {
public:
    // A machine found by FindMachine has no lock; a session's machine has its session's.
    MachineObject(const StandinGeneration *generation, const char *machineName, SessionLock *sessionLock)
        : ServerObject(generation, StandinInterface_IMachine, machineName), lock(sessionLock)
    {
        if (lock != NULL)
            lock->AddRef();
    }
    ~MachineObject() override
    {
        if (lock != NULL)
            lock->Release();
    }

    HRESULT get_Id(BSTR *id)
    {
        if (id == NULL)
            return JournalCall("get_Id", E_POINTER);
        *id = NULL;
        StandinMachine catalogued;
        HRESULT result = Begin("get_Id");
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        if (SUCCEEDED(result)) {
            *id = NewBstrFromAnsi(catalogued.uuid);
            if (*id == NULL)
                result = E_OUTOFMEMORY;
        }
        return JournalCall("get_Id", result);
    }
    HRESULT get_VRDEServer(void **server)
    {
        if (server == NULL)
            return JournalCall("get_VRDEServer", E_POINTER);
        *server = NULL;
        StandinMachine catalogued;
        HRESULT result = Begin("get_VRDEServer");
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        if (SUCCEEDED(result))
            *server = (new VrdeServerObject(generation, machine))->Face();
        return JournalCall("get_VRDEServer", result);
    }
    // get_SessionPID from 5.2 on; journalled by its 4.0 name in every generation.
    HRESULT get_SessionPid(ULONG *pid)
    {
        if (pid == NULL)
            return JournalCall("get_SessionPid", E_POINTER);
        *pid = 0;
        StandinMachine catalogued;
        HRESULT result = Begin("get_SessionPid");
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        if (SUCCEEDED(result))
            *pid = catalogued.sessionPid;
        return JournalCall("get_SessionPid", result);
    }
    HRESULT get_State(long *state)
    {
        if (state == NULL)
            return JournalCall("get_State", E_POINTER);
        *state = 0;
        StandinMachine catalogued;
        HRESULT result = Begin("get_State");
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        if (SUCCEEDED(result))
            *state = catalogued.state;
        return JournalCall("get_State", result);
    }
    // Only a shared lock (1) is offered. On a machine that no session holds
    // it is an exclusive write lock, as VirtualBox makes it.
    HRESULT LockMachine(IUnknown *session, long lockType)
    {
        JournalLine line;
        BeginCallLine(&line, "LockMachine");
        AddJournalNumber(&line, "lockType", lockType);
        StandinMachine catalogued;
        HRESULT result = Begin("LockMachine");
        if (SUCCEEDED(result) && (session == NULL || lockType != 1))
            result = E_INVALIDARG;
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        IStandinSessionControl *control = NULL;
        if (SUCCEEDED(result))
            result = session->QueryInterface(IID_IStandinSessionControl, (void **)&control);
        SessionLock *taken = NULL;
        if (SUCCEEDED(result)) {
            taken = new SessionLock(machine);
            result = TakeMachineLock(generation, machine, taken);
        }
        if (SUCCEEDED(result)) {
            ConsoleObject *console = NULL;
            if (!taken->exclusive || WriteLockHasConsole(generation))
                console = new ConsoleObject(generation, machine, taken, !taken->exclusive);
            MachineObject *sessionMachine = new MachineObject(generation, machine, taken);
            ULONG clientPid = 0;
            result = control->AssignLock(console != NULL ? (IUnknown *)console->Face() : NULL,
                                         (IUnknown *)sessionMachine->Face(), taken, &clientPid);
            if (SUCCEEDED(result))
                taken->SetClient(clientPid);
            else
                taken->Unlock();
            if (console != NULL)
                console->Release();
            sessionMachine->Release();
        }
        if (taken != NULL)
            taken->Release();
        if (control != NULL)
            control->Release();
        return FinishCallLine(&line, result);
    }
    // From 5.2 on the state is saved through the session's machine; a machine
    // found by FindMachine refuses, as VirtualBox's own does.
    HRESULT SaveState(void **progress)
    {
        JournalLine line;
        BeginCallLine(&line, "SaveState");
        if (progress == NULL)
            return FinishCallLine(&line, E_POINTER);
        *progress = NULL;
        HRESULT result = Begin("SaveState");
        if (SUCCEEDED(result) && lock == NULL)
            result = STANDIN_E_INVALID_VM_STATE;
        return StopMachine(generation, machine, &line, result, StopSaveState, "IMachine::SaveState", progress);
    }

private:
    // The fault first; a session's machine then needs its session's lock.
    HRESULT Begin(const char *method)
    {
        HRESULT result = Fault(method);
        if (SUCCEEDED(result) && lock != NULL && !lock->Held())
            result = STANDIN_E_INVALID_OBJECT_STATE;
        return result;
    }

    SessionLock *lock;
};

class VirtualBoxObject : public ServerObject {
public:
    explicit VirtualBoxObject(const StandinGeneration *generation)
        : ServerObject(generation, StandinInterface_IVirtualBox, "")
    {
    }

    HRESULT get_Version(BSTR *version)
    {
        return ServerInformation("get_Version", 1, version);
    }
    HRESULT get_HomeFolder(BSTR *homeFolder)
    {
        return ServerInformation("get_HomeFolder", 0, homeFolder);
    }
    HRESULT FindMachine(BSTR name, void **found)
    {
        char narrow[1024];
        CopyBstrToAnsi(name, narrow, sizeof(narrow));
        JournalLine line;
        BeginCallLine(&line, "FindMachine");
        AddJournalString(&line, "name", narrow);
        if (found == NULL)
            return FinishCallLine(&line, E_POINTER);
        *found = NULL;
        HRESULT result = Fault("FindMachine");
        // A VirtualBox call that hangs: the whole server waits, as a busy one does.
        long delay = ReadStandinDelay("FindMachine");
        if (delay > 0)
            Sleep((DWORD)delay);
        if (SUCCEEDED(result)) {
            StandinMachine catalogued;
            // The registry finds keys without regard to case; VirtualBox's names match exactly.
            if (!ReadStandinMachine(narrow, &catalogued) || strcmp(catalogued.name, narrow) != 0)
                result = STANDIN_E_OBJECT_NOT_FOUND;
            else
                *found = (new MachineObject(generation, catalogued.name, NULL))->Face();
        }
        return FinishCallLine(&line, result);
    }

private:
    // The version or the home folder, from the catalogue.
    HRESULT ServerInformation(const char *method, int wantsVersion, BSTR *text)
    {
        if (text == NULL)
            return JournalCall(method, E_POINTER);
        *text = NULL;
        HRESULT result = Fault(method);
        if (SUCCEEDED(result)) {
            char version[256];
            char homeFolder[MAX_PATH];
            ReadStandinServerInfo(version, sizeof(version), homeFolder, sizeof(homeFolder));
            *text = NewBstrFromAnsi(wantsVersion ? version : homeFolder);
            if (*text == NULL)
                result = E_OUTOFMEMORY;
        }
        return JournalCall(method, result);
    }
};

class VirtualBoxFactory : public IClassFactory {
public:
    VirtualBoxFactory() : references(1) {}

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override
    {
        if (out == NULL)
            return E_POINTER;
        *out = NULL;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory))
            return E_NOINTERFACE;
        *out = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override
    {
        return (ULONG)InterlockedIncrement(&references);
    }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG left = InterlockedDecrement(&references);
        if (left == 0)
            delete this;
        return (ULONG)left;
    }
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID iid, void **out) override
    {
        if (out == NULL)
            return E_POINTER;
        *out = NULL;
        HRESULT result = ReadStandinFault("VirtualBox::CreateInstance");
        if (SUCCEEDED(result) && outer != NULL)
            result = CLASS_E_NOAGGREGATION;
        if (SUCCEEDED(result)) {
            // The generation is chosen anew for every object, so a test picks it before it connects.
            VirtualBoxObject *created = new VirtualBoxObject(ReadChosenStandinGeneration());
            result = created->QueryInterface(iid, out);
            created->Release();
        }
        JournalLine line;
        BeginJournalLine(&line, "VirtualBox::CreateInstance");
        WriteJournalLine(&line, result);
        NoteServerActivity();
        return result;
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        CountServerObject(lock ? 1 : -1);
        return S_OK;
    }

private:
    virtual ~VirtualBoxFactory() {}
    LONG references;
};

}  // namespace

IClassFactory *NewVirtualBoxFactory(void)
{
    return new VirtualBoxFactory();
}

StandinObject *NewProgressObject(const StandinGeneration *generation, const char *machineName)
{
    return new ProgressObject(generation, machineName);
}

void CompleteProgress(StandinObject *progress, HRESULT resultCode)
{
    static_cast<ProgressObject *>(progress)->Complete(resultCode, 0);
}

void AbortProgress(StandinObject *progress)
{
    static_cast<ProgressObject *>(progress)->Complete(E_ABORT, 1);
}

StandinMethod StandinImplementationOf(StandinMethodId method)
{
    switch (method) {
    case StandinMethod_Version:
        return StandinEntry<&VirtualBoxObject::get_Version>();
    case StandinMethod_HomeFolder:
        return StandinEntry<&VirtualBoxObject::get_HomeFolder>();
    case StandinMethod_FindMachine:
        return StandinEntry<&VirtualBoxObject::FindMachine>();
    case StandinMethod_Id:
        return StandinEntry<&MachineObject::get_Id>();
    case StandinMethod_VRDEServer:
        return StandinEntry<&MachineObject::get_VRDEServer>();
    case StandinMethod_SessionPid:
    case StandinMethod_SessionPID:
        return StandinEntry<&MachineObject::get_SessionPid>();
    case StandinMethod_State:
        return StandinEntry<&MachineObject::get_State>();
    case StandinMethod_LockMachine:
        return StandinEntry<&MachineObject::LockMachine>();
    case StandinMethod_MachineSaveState:
        return StandinEntry<&MachineObject::SaveState>();
    case StandinMethod_Display:
        return StandinEntry<&ConsoleObject::get_Display>();
    case StandinMethod_VRDEServerInfo:
        return StandinEntry<&ConsoleObject::get_VRDEServerInfo>();
    case StandinMethod_PowerDown:
        return StandinEntry<&ConsoleObject::PowerDown>();
    case StandinMethod_PowerButton:
        return StandinEntry<&ConsoleObject::PowerButton>();
    case StandinMethod_SleepButton:
        return StandinEntry<&ConsoleObject::SleepButton>();
    case StandinMethod_ConsoleSaveState:
        return StandinEntry<&ConsoleObject::SaveState>();
    case StandinMethod_GuestEnteredACPIMode:
        return StandinEntry<&ConsoleObject::GetGuestEnteredACPIMode>();
    case StandinMethod_Completed:
        return StandinEntry<&ProgressObject::get_Completed>();
    case StandinMethod_ResultCode:
        return StandinEntry<&ProgressObject::get_ResultCode>();
    case StandinMethod_ErrorInfo:
        return StandinEntry<&ProgressObject::get_ErrorInfo>();
    case StandinMethod_WaitForCompletion:
        return StandinEntry<&ProgressObject::WaitForCompletion>();
    case StandinMethod_Enabled:
        return StandinEntry<&VrdeServerObject::get_Enabled>();
    case StandinMethod_Port:
        return StandinEntry<&VrdeServerInfoObject::get_Port>();
    case StandinMethod_Resolution:
        return StandinEntry<&DisplayObject::GetScreenResolution>();
    case StandinMethod_Resolution7:
        return StandinEntry<&DisplayObject::GetScreenResolutionAndOrigin>();
    // The session's methods live in the session DLL.
    case StandinMethod_SessionMachine:
    case StandinMethod_SessionConsole:
    case StandinMethod_UnlockMachine:
    case StandinMethodCount:
        break;
    }
    return NULL;
}
