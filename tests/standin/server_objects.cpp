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

namespace {

// GuestMonitorStatus of the stand-in's one screen.
const LONG MonitorEnabled = 1;

// A machine's shared lock as one session holds it: the console and the
// session's machine that it hands out work only while it is held.
class SessionLock {
public:
    SessionLock() : references(1), held(1) {}
    void AddRef() { InterlockedIncrement(&references); }
    void Release()
    {
        if (InterlockedDecrement(&references) == 0)
            delete this;
    }
    int Held() const { return held != 0; }
    void GiveBack() { InterlockedExchange(&held, 0); }

private:
    ~SessionLock() {}
    volatile LONG references;
    volatile LONG held;
};

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
          generation(objectGeneration)
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

class VrdeServerInfoObject : public ServerObject {
public:
    VrdeServerInfoObject(const StandinGeneration *generation, const char *machineName)
        : ServerObject(generation, StandinInterface_IVRDEServerInfo, machineName)
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
        if (SUCCEEDED(result))
            *port = catalogued.vrdePort;
        return JournalCall("get_Port", result);
    }
};

class DisplayObject : public ServerObject {
public:
    DisplayObject(const StandinGeneration *generation, const char *machineName)
        : ServerObject(generation, StandinInterface_IDisplay, machineName)
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
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        if (SUCCEEDED(result)) {
            *width = catalogued.width;
            *height = catalogued.height;
            *bitsPerPixel = catalogued.bitsPerPixel;
            *monitorStatus = MonitorEnabled;
        }
        return FinishCallLine(&line, result);
    }
};

class ProgressObject : public ServerObject {
public:
    ProgressObject(const StandinGeneration *generation, const char *machineName)
        : ServerObject(generation, StandinInterface_IProgress, machineName), completed(0), outcome(S_OK)
    {
        done = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    ~ProgressObject() override
    {
        if (done != NULL)
            CloseHandle(done);
    }

    void Complete(HRESULT result)
    {
        if (InterlockedCompareExchange(&completed, 1, 0) == 0) {
            outcome = result;
            SetEvent(done);
        }
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
        // A wait that times out succeeds; the operation simply goes on.
        return completed ? outcome : S_OK;
    }

private:
    HANDLE done;
    volatile LONG completed;
    HRESULT outcome;
};

// The stops of a console and of a session's machine: the machine runtime
// journals the line once the outcome is known and before the machine's
// process can react, so that the order holds.
HRESULT StopMachine(const StandinGeneration *generation, const char *machine, JournalLine *line, HRESULT begun,
                    StopOperation operation, void **progress)
{
    if (FAILED(begun)) {
        WriteJournalLine(line, begun);
        NoteServerActivity();
        return begun;
    }
    NoteServerActivity();
    return StartMachineStop(generation, machine, operation, progress, line);
}

class ConsoleObject : public ServerObject, public IStandinLock {
public:
    ConsoleObject(const StandinGeneration *generation, const char *machineName, SessionLock *sessionLock)
        : ServerObject(generation, StandinInterface_IConsole, machineName), lock(sessionLock)
    {
        lock->AddRef();
    }
    ~ConsoleObject() override
    {
        lock->Release();
    }

    // The lock face shares the console's identity.
    STANDIN_SECOND_FACE

    // Not journalled: the session's UnlockMachine is.
    STDMETHODIMP Unlock() override
    {
        lock->GiveBack();
        NoteServerActivity();
        return S_OK;
    }

    HRESULT get_Display(void **display)
    {
        if (display == NULL)
            return JournalCall("get_Display", E_POINTER);
        *display = NULL;
        HRESULT result = Begin("get_Display");
        if (SUCCEEDED(result))
            *display = (new DisplayObject(generation, machine))->Face();
        return JournalCall("get_Display", result);
    }
    HRESULT get_VRDEServerInfo(void **info)
    {
        if (info == NULL)
            return JournalCall("get_VRDEServerInfo", E_POINTER);
        *info = NULL;
        HRESULT result = Begin("get_VRDEServerInfo");
        if (SUCCEEDED(result))
            *info = (new VrdeServerInfoObject(generation, machine))->Face();
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

protected:
    void *QueryOtherInterface(REFIID iid) override
    {
        return IsEqualIID(iid, IID_IStandinLock) ? static_cast<IStandinLock *>(this) : NULL;
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
    HRESULT Stop(const char *method, StopOperation operation, void **progress)
    {
        JournalLine line;
        BeginCallLine(&line, method);
        if (progress == NULL)
            return FinishCallLine(&line, E_POINTER);
        *progress = NULL;
        return StopMachine(generation, machine, &line, Begin(method), operation, progress);
    }
    HRESULT Press(const char *button)
    {
        JournalLine line;
        BeginCallLine(&line, button);
        HRESULT result = Begin(button);
        if (FAILED(result))
            return FinishCallLine(&line, result);
        NoteServerActivity();
        return PressMachineButton(generation, machine, button, &line);
    }

    SessionLock *lock;
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
    // Only a shared lock (1) is offered: it needs a running machine, whose
    // console and session machine the server then hands to the session.
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
        if (SUCCEEDED(result) && !IsOnlineState(StandinStateOf(generation, catalogued.state)))
            result = STANDIN_E_INVALID_VM_STATE;
        IStandinSessionControl *control = NULL;
        if (SUCCEEDED(result))
            result = session->QueryInterface(IID_IStandinSessionControl, (void **)&control);
        if (SUCCEEDED(result)) {
            SessionLock *taken = new SessionLock();
            ConsoleObject *console = new ConsoleObject(generation, machine, taken);
            MachineObject *sessionMachine = new MachineObject(generation, machine, taken);
            taken->Release();
            result = control->AssignLock((IUnknown *)console->Face(), (IUnknown *)sessionMachine->Face());
            console->Release();
            sessionMachine->Release();
        }
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
        return StopMachine(generation, machine, &line, result, StopSaveState, progress);
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

void CompleteProgress(StandinObject *progress, HRESULT result)
{
    static_cast<ProgressObject *>(progress)->Complete(result);
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
