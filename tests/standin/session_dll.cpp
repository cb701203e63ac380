// The Session object of the stand-in, loaded into the client's process
// (InprocServer32, ThreadingModel Both). IMachine::LockMachine on the server
// hands it the locked machine's console through IStandinSessionControl;
// UnlockMachine gives the lock back through the console's IStandinLock.
#include <windows.h>

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

void GiveLockBack(IConsole *console)
{
    IStandinLock *lock = NULL;
    if (SUCCEEDED(console->QueryInterface(IID_IStandinLock, (void **)&lock))) {
        lock->Unlock();
        lock->Release();
    }
    console->Release();
}

class SessionObject : public StandinObject<ISession>, public IStandinSessionControl {
public:
    SessionObject() : console(NULL)
    {
        InitializeCriticalSection(&guard);
        InterlockedIncrement(&ModuleUsers);
    }

    // The control face shares the session's identity.
    STANDIN_SECOND_FACE(StandinObject<ISession>)

    STDMETHODIMP Unused7() override
    {
        return JournalSessionCall("ISession::Unused7", E_NOTIMPL);
    }
    STDMETHODIMP Unused8() override
    {
        return JournalSessionCall("ISession::Unused8", E_NOTIMPL);
    }
    STDMETHODIMP Unused9() override
    {
        return JournalSessionCall("ISession::Unused9", E_NOTIMPL);
    }

    STDMETHODIMP get_Console(IConsole **out) override
    {
        if (out == NULL)
            return JournalSessionCall("ISession::get_Console", E_POINTER);
        *out = NULL;
        HRESULT result = ReadStandinFault("ISession::get_Console");
        if (SUCCEEDED(result)) {
            EnterCriticalSection(&guard);
            if (console == NULL) {
                result = STANDIN_E_INVALID_OBJECT_STATE;
            } else {
                console->AddRef();
                *out = console;
            }
            LeaveCriticalSection(&guard);
        }
        return JournalSessionCall("ISession::get_Console", result);
    }

    STDMETHODIMP UnlockMachine() override
    {
        HRESULT result = ReadStandinFault("ISession::UnlockMachine");
        IConsole *held = NULL;
        if (SUCCEEDED(result)) {
            EnterCriticalSection(&guard);
            held = console;
            console = NULL;
            LeaveCriticalSection(&guard);
            if (held == NULL)
                result = STANDIN_E_INVALID_OBJECT_STATE;
        }
        JournalSessionCall("ISession::UnlockMachine", result);
        if (held != NULL)
            GiveLockBack(held);
        return result;
    }

    STDMETHODIMP AssignConsole(IConsole *assigned) override
    {
        if (assigned == NULL)
            return E_INVALIDARG;
        HRESULT result = S_OK;
        EnterCriticalSection(&guard);
        if (console != NULL) {
            result = STANDIN_E_INVALID_OBJECT_STATE;
        } else {
            assigned->AddRef();
            console = assigned;
        }
        LeaveCriticalSection(&guard);
        return result;
    }

protected:
    void *QueryOtherInterface(REFIID iid) override
    {
        return IsEqualIID(iid, IID_IStandinSessionControl) ? static_cast<IStandinSessionControl *>(this) : NULL;
    }

private:
    ~SessionObject() override
    {
        // A session released while locked unlocks, as a closed session does.
        if (console != NULL)
            GiveLockBack(console);
        DeleteCriticalSection(&guard);
        InterlockedDecrement(&ModuleUsers);
    }

    IConsole *console;
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
            ISession *created = new SessionObject();
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

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void **out)
{
    if (out == NULL)
        return E_POINTER;
    *out = NULL;
    if (!IsEqualCLSID(clsid, CLSID_Session))
        return CLASS_E_CLASSNOTAVAILABLE;
    return Factory.QueryInterface(iid, out);
}

extern "C" HRESULT WINAPI DllCanUnloadNow(void)
{
    return ModuleUsers == 0 ? S_OK : S_FALSE;
}
