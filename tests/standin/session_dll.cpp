// The Session object of the stand-in, loaded into the client's process
// (InprocServer32, ThreadingModel Both), of the generation chosen when it is
// created. IMachine::LockMachine on the server hands it the locked machine's
// console (none for an exclusive lock from 5.2 on), the session's machine and
// the lock through IStandinSessionControl; UnlockMachine gives the lock back.
// The DLL is also the in-process server of the interfaces' compiled proxies
// and stubs (standin_proxy.c), in the clients and in the server alike.
#include <windows.h>

#include <stdio.h>

#include "com_object.h"
#include "standin.h"
#include "standin_journal.h"
#include "standin_store.h"

namespace {

// Live objects and server locks: the DLL stays loaded while there are any.
volatile LONG ModuleUsers;

HRESULT JournalSessionCall(const char *call, HRESULT result)
{
    JournalLine line;
    BeginJournalLine(&line, call);
    WriteJournalLine(&line, result);
    return result;
}

void GiveLockBack(IStandinLock *lock)
{
    lock->Unlock();
    lock->Release();
}

// The generation's own face of a server object (a private copy's where the
// type library needs one); the object as it came when it has none (a later
// release's object, which the session hands out all the same); NULL without
// a generation.
IUnknown *FaceOf(IUnknown *object, const StandinGeneration *generation, StandinInterfaceKind kind)
{
    IUnknown *face = NULL;
    if (generation == NULL || object == NULL)
        return NULL;
    if (FAILED(object->QueryInterface(generation->interfaces[kind].marshalIid, (void **)&face))) {
        object->AddRef();
        face = object;
    }
    return face;
}

class SessionObject : public StandinObject, public IStandinSessionControl {
public:
    explicit SessionObject(const StandinGeneration *sessionGeneration)
        : StandinObject(sessionGeneration != NULL ? &sessionGeneration->interfaces[StandinInterface_ISession] : NULL),
          generation(sessionGeneration), typedMarshal((IUnknown *)Face(), &IID_IStandinSessionControl), console(NULL),
          machine(NULL), lock(NULL)
    {
        InitializeCriticalSection(&guard);
        InterlockedIncrement(&ModuleUsers);
    }

    // The control face shares the session's identity.
    STANDIN_SECOND_FACE

    HRESULT CallFiller(int position) override
    {
        char call[64];
        snprintf(call, sizeof(call), "ISession::Unused%d", position);
        return JournalSessionCall(call, E_NOTIMPL);
    }

    HRESULT get_Console(void **out)
    {
        return HandOut("ISession::get_Console", &console, out);
    }
    // From 5.2 on: the session's machine, which saves the machine's state.
    HRESULT get_Machine(void **out)
    {
        return HandOut("ISession::get_Machine", &machine, out);
    }

    HRESULT UnlockMachine()
    {
        HRESULT result = ReadStandinFault("ISession::UnlockMachine");
        IUnknown *heldConsole = NULL;
        IUnknown *heldMachine = NULL;
        IStandinLock *heldLock = NULL;
        if (SUCCEEDED(result)) {
            EnterCriticalSection(&guard);
            heldConsole = console;
            heldMachine = machine;
            heldLock = lock;
            console = NULL;
            machine = NULL;
            lock = NULL;
            LeaveCriticalSection(&guard);
            if (heldLock == NULL)
                result = STANDIN_E_INVALID_OBJECT_STATE;
        }
        JournalSessionCall("ISession::UnlockMachine", result);
        if (heldLock != NULL)
            GiveLockBack(heldLock);
        if (heldConsole != NULL)
            heldConsole->Release();
        if (heldMachine != NULL)
            heldMachine->Release();
        return result;
    }

    // The console is NULL for an exclusive lock from 5.2 on.
    STDMETHODIMP AssignLock(IUnknown *assignedConsole, IUnknown *assignedMachine, IStandinLock *assignedLock,
                            ULONG *clientProcessId) override
    {
        if (assignedMachine == NULL || assignedLock == NULL || clientProcessId == NULL)
            return E_INVALIDARG;
        *clientProcessId = GetCurrentProcessId();
        // Asked for before the guard is taken: a face that came untyped is a call to the server.
        IUnknown *newConsole = FaceOf(assignedConsole, generation, StandinInterface_IConsole);
        IUnknown *newMachine = FaceOf(assignedMachine, generation, StandinInterface_IMachine);
        HRESULT result = (newConsole != NULL || assignedConsole == NULL) && newMachine != NULL ? S_OK : E_NOINTERFACE;
        if (SUCCEEDED(result)) {
            EnterCriticalSection(&guard);
            if (lock != NULL) {
                result = STANDIN_E_INVALID_OBJECT_STATE;
            } else {
                console = newConsole;
                machine = newMachine;
                lock = assignedLock;
                lock->AddRef();
                newConsole = newMachine = NULL;
            }
            LeaveCriticalSection(&guard);
        }
        if (newConsole != NULL)
            newConsole->Release();
        if (newMachine != NULL)
            newMachine->Release();
        return result;
    }

protected:
    // LockMachine hands the session to the server, which calls it back as
    // IStandinSessionControl: marshaled as that, the server's proxy has it.
    void *QueryOtherInterface(REFIID iid) override
    {
        if (IsEqualIID(iid, IID_IMarshal))
            return static_cast<IMarshal *>(&typedMarshal);
        return IsEqualIID(iid, IID_IStandinSessionControl) ? static_cast<IStandinSessionControl *>(this) : NULL;
    }

private:
    ~SessionObject() override
    {
        // A session released while locked unlocks, as a closed session does.
        if (lock != NULL)
            GiveLockBack(lock);
        if (console != NULL)
            console->Release();
        if (machine != NULL)
            machine->Release();
        DeleteCriticalSection(&guard);
        InterlockedDecrement(&ModuleUsers);
    }

    // What the lock gave the session, with a new reference (NULL for the
    // console of an exclusive lock from 5.2 on); refused without a lock.
    HRESULT HandOut(const char *call, IUnknown **held, void **out)
    {
        if (out == NULL)
            return JournalSessionCall(call, E_POINTER);
        *out = NULL;
        HRESULT result = ReadStandinFault(call);
        if (SUCCEEDED(result)) {
            EnterCriticalSection(&guard);
            if (lock == NULL) {
                result = STANDIN_E_INVALID_OBJECT_STATE;
            } else if (*held != NULL) {
                (*held)->AddRef();
                *out = *held;
            }
            LeaveCriticalSection(&guard);
        }
        return JournalSessionCall(call, result);
    }

    const StandinGeneration *const generation;
    StandinTypedMarshal typedMarshal;
    IUnknown *console;
    IUnknown *machine;
    IStandinLock *lock;
    CRITICAL_SECTION guard;
};

class SessionFactory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void **out) override
    {
        if (out == NULL)
            return E_POINTER;
        *out = NULL;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory))
            return E_NOINTERFACE;
        *out = static_cast<IClassFactory *>(this);
        return S_OK;
    }
    // One static factory for the whole DLL: its references are not counted.
    STDMETHODIMP_(ULONG) AddRef() override
    {
        return 2;
    }
    STDMETHODIMP_(ULONG) Release() override
    {
        return 1;
    }
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID iid, void **out) override
    {
        if (out == NULL)
            return E_POINTER;
        *out = NULL;
        HRESULT result = ReadStandinFault("Session::CreateInstance");
        if (SUCCEEDED(result) && outer != NULL)
            result = CLASS_E_NOAGGREGATION;
        if (SUCCEEDED(result)) {
            // The generation is chosen anew for every session, as for the server's objects.
            SessionObject *created = new SessionObject(ReadChosenStandinGeneration());
            result = created->QueryInterface(iid, out);
            created->Release();
        }
        return JournalSessionCall("Session::CreateInstance", result);
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock)
            InterlockedIncrement(&ModuleUsers);
        else
            InterlockedDecrement(&ModuleUsers);
        return S_OK;
    }
};

SessionFactory Factory;

}  // namespace

// In standin_proxy.c: the class of the compiled proxies and stubs.
extern "C" HRESULT GetStandinProxyStubClass(REFCLSID clsid, REFIID iid, void **out);
extern "C" int CanUnloadStandinProxyStubs(void);

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void **out)
{
    if (out == NULL)
        return E_POINTER;
    *out = NULL;
    if (IsEqualCLSID(clsid, CLSID_StandinProxyStub))
        return GetStandinProxyStubClass(clsid, iid, out);
    if (!IsEqualCLSID(clsid, CLSID_Session))
        return CLASS_E_CLASSNOTAVAILABLE;
    return Factory.QueryInterface(iid, out);
}

StandinMethod StandinImplementationOf(StandinMethodId method)
{
    switch (method) {
    case StandinMethod_SessionConsole:
        return StandinEntry<&SessionObject::get_Console>();
    case StandinMethod_SessionMachine:
        return StandinEntry<&SessionObject::get_Machine>();
    case StandinMethod_UnlockMachine:
        return StandinEntry<&SessionObject::UnlockMachine>();
    default:
        // The server's.
        return NULL;
    }
}

extern "C" HRESULT WINAPI DllCanUnloadNow(void)
{
    return ModuleUsers == 0 && CanUnloadStandinProxyStubs() ? S_OK : S_FALSE;
}
