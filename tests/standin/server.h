#ifndef PELORIN_STANDIN_SERVER_H
#define PELORIN_STANDIN_SERVER_H

// What the parts of the stand-in's COM server share.

#include <windows.h>

#include "com_object.h"
#include "standin.h"
#include "standin_generation.h"
#include "standin_journal.h"

// Set when the server is ending: pending delays end early.
extern HANDLE ServerEndingEvent;

void NoteServerActivity(void);
void CountServerObject(int change);
// With restart, the server starts a fresh copy of itself once it has ended.
void RequestServerShutdown(int restart);

// One object of ours marshaled under every interface the server hands out,
// for the server's life: Wine would otherwise unregister an interface whose
// last stub goes while its calls are in progress, and hang the server.
void PinInterfaceRegistrations(void);
void UnpinInterfaceRegistrations(void);

// The class factory of the VirtualBox object.
IClassFactory *NewVirtualBoxFactory(void);

// A stop's progress object of the generation, with one reference.
StandinObject *NewProgressObject(const StandinGeneration *generation, const char *machineName);
// Completes the progress with that ResultCode (the first completion counts).
void CompleteProgress(StandinObject *progress, HRESULT resultCode);
// Ends every wait on it with E_ABORT: the stand-in was reset or ends.
void AbortProgress(StandinObject *progress);

// A machine's lock as one session holds it: the console and the session's
// machine that it hands out work only while it is held, and the session gives
// it back through IStandinLock. A shared lock joins the machine's session
// process; an exclusive one (nobody held the machine) keeps every other
// session, VBoxHeadless's included, out until it is given back or its
// holder's process has ended, as VirtualBox's server watches its clients.
class SessionLock : public IStandinLock {
public:
    explicit SessionLock(const char *machineName);
    STDMETHODIMP QueryInterface(REFIID iid, void **out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetTypeInfoCount(UINT *count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo **info) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR *names, UINT count, LCID locale, DISPID *ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS *parameters, VARIANT *result,
                        EXCEPINFO *exception, UINT *argumentError) override;
    // Not journalled: the session's UnlockMachine is.
    STDMETHODIMP Unlock() override;

    int Held() const { return held != 0; }
    // Only flips the flag: callable with the machines' lock held.
    void GiveBack() { InterlockedExchange(&held, 0); }
    void SetClient(DWORD pid);
    // The holder's process has ended without giving the lock back.
    int ClientGone() const;

    int exclusive;
    char machine[256];

private:
    virtual ~SessionLock();
    volatile LONG references;
    volatile LONG held;
    HANDLE client;
};

// The machines' runtime: attached VBoxHeadless stand-ins and operations under way.
enum StopOperation { StopNone = 0, StopPowerDown, StopSaveState, StopGuestPowerOff, StopGuestSleep };
void InitializeMachineRuns(void);
// Serves an ATTACH request on its pipe connection until that process ends.
void ServeHeadlessAttachment(HANDLE pipe, DWORD pid, const char *uuid);
// Sets lock->exclusive, and records an exclusive lock for the machine.
HRESULT TakeMachineLock(const StandinGeneration *generation, const char *machineName, SessionLock *lock);
void ReleaseMachineLock(SessionLock *lock);
// The next three write the call's journal line once the outcome is decided.
// The generation is the caller's: it numbers the states that the call reads
// and sets. method names the call ("IConsole::PowerDown") for its outcome.
HRESULT StartMachineStop(const StandinGeneration *generation, const char *machineName, StopOperation operation,
                         const char *method, void **progress, JournalLine *line);
HRESULT PressMachineButton(const StandinGeneration *generation, const char *machineName, const char *button,
                           JournalLine *line);
HRESULT AskGuestEnteredAcpiMode(const StandinGeneration *generation, const char *machineName, long *entered,
                                JournalLine *line);
// The guest's behaviour changed: a crash happens at once on a running machine.
void NoteGuestChange(const char *machineName);
// The machine's VBoxHeadless saves ("savestate") or powers off its machine by itself.
int EndMachineFromHeadless(const char *machineName, const char *how);
// States in which a machine has a console to lock and talk to.
int IsOnlineState(StandinState state);
// Ends every attached VBoxHeadless stand-in, waits for them, aborts pending
// operations, gives every exclusive lock back and forgets the runtime.
void EndAllMachines(void);
int CountAttachedHeadless(void);

// The control pipe; the first instance is made before the thread starts, so
// that a second server notices the first.
HANDLE CreateFirstControlPipe(void);
void StartControlPipeThread(HANDLE firstPipe);

// The VirtualBox class is served by server (NULL: this program).
int RegisterStandin(const char *server);
int UnregisterStandin(void);

// Converts between the ANSI code page and BSTRs.
BSTR NewBstrFromAnsi(const char *text);
void CopyBstrToAnsi(BSTR text, char *target, size_t size);

#endif
