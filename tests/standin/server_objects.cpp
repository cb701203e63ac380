// The objects of the stand-in's COM server: the VirtualBox object and the
// per-machine objects that it hands out. Each call is journalled; a fault
// set for a method makes it fail with that result before it does anything.
#include <stdio.h>
#include <string.h>

#include "com_object.h"
#include "server.h"
#include "standin_journal.h"
#include "standin_store.h"

// Positions of a method table that pelorin never calls: journalled, refused.
#define STANDIN_UNUSED(n) \
    STDMETHODIMP Unused##n() override { return this->JournalCall("Unused" #n, E_NOTIMPL); }

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

// States in which a machine has a console to lock and talk to.
int IsOnline(long state)
{
    return state >= 5 && state <= 13;
}

template <class Interface>
class ServerObject : public StandinObject<Interface> {
public:
    HRESULT JournalCall(const char *method, HRESULT result)
    {
        JournalLine line;
        BeginCallLine(&line, method);
        return FinishCallLine(&line, result);
    }

protected:
    ServerObject(const char *interfaceName, const char *machineName)
    {
        lstrcpynA(face, interfaceName, sizeof(face));
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

    char face[32];
    char machine[256];
};

class VirtualBoxObject : public ServerObject<IVirtualBox> {
public:
    VirtualBoxObject() : ServerObject("IVirtualBox", "") {}

    STDMETHODIMP get_Version(BSTR *version) override
    {
        if (version == NULL)
            return JournalCall("get_Version", E_POINTER);
        *version = NULL;
        HRESULT result = Fault("get_Version");
        if (SUCCEEDED(result)) {
            char text[256];
            char home[MAX_PATH];
            ReadStandinServerInfo(text, sizeof(text), home, sizeof(home));
            *version = NewBstrFromAnsi(text);
            if (*version == NULL)
                result = E_OUTOFMEMORY;
        }
        return JournalCall("get_Version", result);
    }
    STDMETHODIMP get_HomeFolder(BSTR *homeFolder) override
    {
        if (homeFolder == NULL)
            return JournalCall("get_HomeFolder", E_POINTER);
        *homeFolder = NULL;
        HRESULT result = Fault("get_HomeFolder");
        if (SUCCEEDED(result)) {
            char version[256];
            char text[MAX_PATH];
            ReadStandinServerInfo(version, sizeof(version), text, sizeof(text));
            *homeFolder = NewBstrFromAnsi(text);
            if (*homeFolder == NULL)
                result = E_OUTOFMEMORY;
        }
        return JournalCall("get_HomeFolder", result);
    }
    STDMETHODIMP FindMachine(BSTR name, IMachine **found) override
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
        if (SUCCEEDED(result)) {
            StandinMachine catalogued;
            // The registry finds keys without regard to case; VirtualBox's names match exactly.
            if (!ReadStandinMachine(narrow, &catalogued) || strcmp(catalogued.name, narrow) != 0)
                result = STANDIN_E_OBJECT_NOT_FOUND;
            else
                *found = NewMachineObject(catalogued.name);
        }
        return FinishCallLine(&line, result);
    }
    STANDIN_UNUSED(8) STANDIN_UNUSED(9) STANDIN_UNUSED(11) STANDIN_UNUSED(12) STANDIN_UNUSED(13) STANDIN_UNUSED(14)
    STANDIN_UNUSED(15) STANDIN_UNUSED(16) STANDIN_UNUSED(17) STANDIN_UNUSED(18) STANDIN_UNUSED(19) STANDIN_UNUSED(20)
    STANDIN_UNUSED(21) STANDIN_UNUSED(22) STANDIN_UNUSED(23) STANDIN_UNUSED(24) STANDIN_UNUSED(25) STANDIN_UNUSED(26)
    STANDIN_UNUSED(27) STANDIN_UNUSED(28)
};

class VrdeServerObject : public ServerObject<IVRDEServer> {
public:
    explicit VrdeServerObject(const char *machineName) : ServerObject("IVRDEServer", machineName) {}

    STDMETHODIMP get_Enabled(long *enabled) override
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

class VrdeServerInfoObject : public ServerObject<IVRDEServerInfo> {
public:
    explicit VrdeServerInfoObject(const char *machineName) : ServerObject("IVRDEServerInfo", machineName) {}

    STDMETHODIMP get_Port(long *port) override
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
    STANDIN_UNUSED(7)
};

class DisplayObject : public ServerObject<IDisplay> {
public:
    explicit DisplayObject(const char *machineName) : ServerObject("IDisplay", machineName) {}

    STDMETHODIMP GetScreenResolution(ULONG screenId, ULONG *width, ULONG *height, ULONG *bitsPerPixel) override
    {
        JournalLine line;
        BeginCallLine(&line, "GetScreenResolution");
        AddJournalNumber(&line, "screenId", screenId);
        if (width == NULL || height == NULL || bitsPerPixel == NULL)
            return FinishCallLine(&line, E_POINTER);
        *width = *height = *bitsPerPixel = 0;
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
        }
        return FinishCallLine(&line, result);
    }
};

class ProgressObject : public ServerObject<IProgress> {
public:
    explicit ProgressObject(const char *machineName)
        : ServerObject("IProgress", machineName), completed(0), outcome(S_OK)
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

    STDMETHODIMP WaitForCompletion(long timeout) override
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
    STANDIN_UNUSED(7) STANDIN_UNUSED(8) STANDIN_UNUSED(9) STANDIN_UNUSED(10) STANDIN_UNUSED(11) STANDIN_UNUSED(12)
    STANDIN_UNUSED(13) STANDIN_UNUSED(14) STANDIN_UNUSED(15) STANDIN_UNUSED(16) STANDIN_UNUSED(17) STANDIN_UNUSED(18)
    STANDIN_UNUSED(19) STANDIN_UNUSED(20) STANDIN_UNUSED(21) STANDIN_UNUSED(22) STANDIN_UNUSED(23) STANDIN_UNUSED(24)
    STANDIN_UNUSED(25)

private:
    HANDLE done;
    volatile LONG completed;
    HRESULT outcome;
};

class ConsoleObject : public ServerObject<IConsole>, public IStandinLock {
public:
    explicit ConsoleObject(const char *machineName) : ServerObject("IConsole", machineName), locked(1) {}

    // The lock face shares the console's identity.
    STANDIN_SECOND_FACE(ServerObject<IConsole>)

    // Not journalled: the session's UnlockMachine is.
    STDMETHODIMP Unlock() override
    {
        InterlockedExchange(&locked, 0);
        NoteServerActivity();
        return S_OK;
    }

    STDMETHODIMP get_Display(IDisplay **display) override
    {
        if (display == NULL)
            return JournalCall("get_Display", E_POINTER);
        *display = NULL;
        HRESULT result = Begin("get_Display");
        if (SUCCEEDED(result))
            *display = new DisplayObject(machine);
        return JournalCall("get_Display", result);
    }
    STDMETHODIMP get_VRDEServerInfo(IVRDEServerInfo **info) override
    {
        if (info == NULL)
            return JournalCall("get_VRDEServerInfo", E_POINTER);
        *info = NULL;
        HRESULT result = Begin("get_VRDEServerInfo");
        if (SUCCEEDED(result))
            *info = new VrdeServerInfoObject(machine);
        return JournalCall("get_VRDEServerInfo", result);
    }
    STDMETHODIMP PowerDown(IProgress **progress) override
    {
        return Stop("PowerDown", StopPowerDown, progress);
    }
    STDMETHODIMP SaveState(IProgress **progress) override
    {
        return Stop("SaveState", StopSaveState, progress);
    }
    STDMETHODIMP PowerButton() override
    {
        return Press("PowerButton");
    }
    STDMETHODIMP SleepButton() override
    {
        return Press("SleepButton");
    }
    STANDIN_UNUSED(7) STANDIN_UNUSED(8) STANDIN_UNUSED(9) STANDIN_UNUSED(10) STANDIN_UNUSED(11) STANDIN_UNUSED(13)
    STANDIN_UNUSED(14) STANDIN_UNUSED(15) STANDIN_UNUSED(16) STANDIN_UNUSED(18) STANDIN_UNUSED(19) STANDIN_UNUSED(20)
    STANDIN_UNUSED(21) STANDIN_UNUSED(23) STANDIN_UNUSED(24) STANDIN_UNUSED(25) STANDIN_UNUSED(28) STANDIN_UNUSED(29)

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
        if (SUCCEEDED(result) && !locked)
            result = STANDIN_E_INVALID_OBJECT_STATE;
        return result;
    }
    // The machine runtime journals the line once the outcome is known and
    // before the machine's process can react, so that the order holds.
    HRESULT Stop(const char *method, StopOperation operation, IProgress **progress)
    {
        JournalLine line;
        BeginCallLine(&line, method);
        if (progress == NULL)
            return FinishCallLine(&line, E_POINTER);
        *progress = NULL;
        HRESULT result = Begin(method);
        if (FAILED(result))
            return FinishCallLine(&line, result);
        NoteServerActivity();
        return StartMachineStop(machine, operation, progress, &line);
    }
    HRESULT Press(const char *button)
    {
        JournalLine line;
        BeginCallLine(&line, button);
        HRESULT result = Begin(button);
        if (FAILED(result))
            return FinishCallLine(&line, result);
        NoteServerActivity();
        return PressMachineButton(machine, button, &line);
    }

    volatile LONG locked;
};

class MachineObject : public ServerObject<IMachine> {
public:
    explicit MachineObject(const char *machineName) : ServerObject("IMachine", machineName) {}

    STDMETHODIMP get_Id(BSTR *id) override
    {
        if (id == NULL)
            return JournalCall("get_Id", E_POINTER);
        *id = NULL;
        StandinMachine catalogued;
        HRESULT result = Fault("get_Id");
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        if (SUCCEEDED(result)) {
            *id = NewBstrFromAnsi(catalogued.uuid);
            if (*id == NULL)
                result = E_OUTOFMEMORY;
        }
        return JournalCall("get_Id", result);
    }
    STDMETHODIMP get_VRDEServer(IVRDEServer **server) override
    {
        if (server == NULL)
            return JournalCall("get_VRDEServer", E_POINTER);
        *server = NULL;
        StandinMachine catalogued;
        HRESULT result = Fault("get_VRDEServer");
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        if (SUCCEEDED(result))
            *server = new VrdeServerObject(machine);
        return JournalCall("get_VRDEServer", result);
    }
    STDMETHODIMP get_SessionPid(ULONG *pid) override
    {
        if (pid == NULL)
            return JournalCall("get_SessionPid", E_POINTER);
        *pid = 0;
        StandinMachine catalogued;
        HRESULT result = Fault("get_SessionPid");
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        if (SUCCEEDED(result))
            *pid = catalogued.sessionPid;
        return JournalCall("get_SessionPid", result);
    }
    STDMETHODIMP get_State(long *state) override
    {
        if (state == NULL)
            return JournalCall("get_State", E_POINTER);
        *state = 0;
        StandinMachine catalogued;
        HRESULT result = Fault("get_State");
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        if (SUCCEEDED(result))
            *state = catalogued.state;
        return JournalCall("get_State", result);
    }
    // Only a shared lock (1) is offered: it needs a running machine, whose
    // console the server then hands to the session.
    STDMETHODIMP LockMachine(ISession *session, long lockType) override
    {
        JournalLine line;
        BeginCallLine(&line, "LockMachine");
        AddJournalNumber(&line, "lockType", lockType);
        StandinMachine catalogued;
        HRESULT result = Fault("LockMachine");
        if (SUCCEEDED(result) && (session == NULL || lockType != 1))
            result = E_INVALIDARG;
        if (SUCCEEDED(result))
            result = ReadCatalogued(&catalogued);
        if (SUCCEEDED(result) && !IsOnline(catalogued.state))
            result = STANDIN_E_INVALID_VM_STATE;
        IStandinSessionControl *control = NULL;
        if (SUCCEEDED(result))
            result = session->QueryInterface(IID_IStandinSessionControl, (void **)&control);
        if (SUCCEEDED(result)) {
            IConsole *console = new ConsoleObject(machine);
            result = control->AssignConsole(console);
            console->Release();
        }
        if (control != NULL)
            control->Release();
        return FinishCallLine(&line, result);
    }
    STANDIN_UNUSED(7) STANDIN_UNUSED(8) STANDIN_UNUSED(9) STANDIN_UNUSED(10) STANDIN_UNUSED(11) STANDIN_UNUSED(12)
    STANDIN_UNUSED(13) STANDIN_UNUSED(15) STANDIN_UNUSED(16) STANDIN_UNUSED(17) STANDIN_UNUSED(18) STANDIN_UNUSED(19)
    STANDIN_UNUSED(20) STANDIN_UNUSED(21) STANDIN_UNUSED(22) STANDIN_UNUSED(23) STANDIN_UNUSED(24) STANDIN_UNUSED(25)
    STANDIN_UNUSED(26) STANDIN_UNUSED(27) STANDIN_UNUSED(28) STANDIN_UNUSED(29) STANDIN_UNUSED(30) STANDIN_UNUSED(31)
    STANDIN_UNUSED(32) STANDIN_UNUSED(33) STANDIN_UNUSED(34) STANDIN_UNUSED(35) STANDIN_UNUSED(36) STANDIN_UNUSED(37)
    STANDIN_UNUSED(38) STANDIN_UNUSED(39) STANDIN_UNUSED(40) STANDIN_UNUSED(41) STANDIN_UNUSED(42) STANDIN_UNUSED(43)
    STANDIN_UNUSED(44) STANDIN_UNUSED(45) STANDIN_UNUSED(46) STANDIN_UNUSED(47) STANDIN_UNUSED(48) STANDIN_UNUSED(49)
    STANDIN_UNUSED(50) STANDIN_UNUSED(51) STANDIN_UNUSED(52) STANDIN_UNUSED(53) STANDIN_UNUSED(55) STANDIN_UNUSED(56)
    STANDIN_UNUSED(57) STANDIN_UNUSED(58) STANDIN_UNUSED(59) STANDIN_UNUSED(60) STANDIN_UNUSED(61) STANDIN_UNUSED(62)
    STANDIN_UNUSED(65) STANDIN_UNUSED(66) STANDIN_UNUSED(67) STANDIN_UNUSED(68) STANDIN_UNUSED(69) STANDIN_UNUSED(70)
    STANDIN_UNUSED(71) STANDIN_UNUSED(72) STANDIN_UNUSED(73) STANDIN_UNUSED(74) STANDIN_UNUSED(75) STANDIN_UNUSED(76)
    STANDIN_UNUSED(77) STANDIN_UNUSED(78) STANDIN_UNUSED(79) STANDIN_UNUSED(80) STANDIN_UNUSED(81) STANDIN_UNUSED(82)
    STANDIN_UNUSED(83) STANDIN_UNUSED(84) STANDIN_UNUSED(85) STANDIN_UNUSED(86) STANDIN_UNUSED(87) STANDIN_UNUSED(88)
    STANDIN_UNUSED(89) STANDIN_UNUSED(90) STANDIN_UNUSED(91) STANDIN_UNUSED(92) STANDIN_UNUSED(93) STANDIN_UNUSED(94)
    STANDIN_UNUSED(95) STANDIN_UNUSED(96) STANDIN_UNUSED(97) STANDIN_UNUSED(98) STANDIN_UNUSED(99) STANDIN_UNUSED(100)
    STANDIN_UNUSED(101)
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
            IVirtualBox *created = new VirtualBoxObject();
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

IMachine *NewMachineObject(const char *machineName)
{
    return new MachineObject(machineName);
}

IConsole *NewConsoleObject(const char *machineName)
{
    return new ConsoleObject(machineName);
}

IProgress *NewProgressObject(const char *machineName)
{
    return new ProgressObject(machineName);
}

void CompleteProgress(IProgress *progress, HRESULT result)
{
    static_cast<ProgressObject *>(progress)->Complete(result);
}
