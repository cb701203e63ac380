// The machines' runtime in the stand-in's server: which VBoxHeadless stand-in
// runs which machine, who holds a machine's exclusive lock, and the operations
// under way, with VirtualBox's rules for each state. The catalogue's state and
// session pid follow from here: Running while a VBoxHeadless is attached;
// Stopping or Saving during a stop; PoweredOff or Saved when the stop is done,
// before the machine's process is told to end (which it then does, with 0);
// Aborted when that process ended unasked. The catalogue holds each state by
// the number of the generation that set it.
#include <stdio.h>
#include <string.h>

#include "server.h"
#include "standin_pipe.h"
#include "standin_store.h"

namespace {

struct MachineRun {
    int used;
    char name[256];
    unsigned long attachment;  // the attached VBoxHeadless, 0 when none
    DWORD headlessPid;
    HANDLE headlessProcess;    // owned by the attachment's pipe thread
    HANDLE headlessPipe;       // likewise
    int ending;                // its machine is off or saved: the process was told to quit
    StopOperation operation;   // under way, StopNone when none
    StandinObject *progress;   // the operation's, completed when it is over; may be NULL
    HRESULT outcome;           // the ResultCode the operation ends with
    StandinState before;       // the state from before it, for a failed one
    int guestPending;          // the guest reacts to a press once the delay is over
    SessionLock *writeLock;    // a client's exclusive lock, NULL when none
    const StandinGeneration *generation;  // numbers the states that the run sets
    unsigned long ticket;      // renewed by every operation: late timers see they are stale
};

struct PendingOperation {
    char name[256];
    unsigned long ticket;
    StopOperation operation;
    long delay;
};

const int MaxRuns = 64;
MachineRun Runs[MaxRuns];
CRITICAL_SECTION RunsLock;
unsigned long LastAttachment;
unsigned long LastTicket;
// How long a lock waits for a session that is being unlocked (MachineImpl.cpp).
const DWORD UnlockingWaitMs = 1000;

// Called with RunsLock held.
MachineRun *FindRun(const char *name, int create)
{
    for (int i = 0; i < MaxRuns; i++) {
        if (Runs[i].used && lstrcmpiA(Runs[i].name, name) == 0)
            return &Runs[i];
    }
    if (!create)
        return NULL;
    for (int i = 0; i < MaxRuns; i++) {
        if (!Runs[i].used) {
            ZeroMemory(&Runs[i], sizeof(Runs[i]));
            Runs[i].used = 1;
            lstrcpynA(Runs[i].name, name, sizeof(Runs[i].name));
            return &Runs[i];
        }
    }
    return NULL;
}

MachineRun *FindRunByAttachment(unsigned long attachment)
{
    for (int i = 0; i < MaxRuns; i++) {
        if (Runs[i].used && Runs[i].attachment == attachment)
            return &Runs[i];
    }
    return NULL;
}

// The generation that numbers a run's states: its own, else the chosen one,
// else (none chosen) the first.
const StandinGeneration *GenerationOf(MachineRun *run)
{
    if (run->generation == NULL)
        run->generation = ReadChosenStandinGeneration();
    if (run->generation == NULL)
        run->generation = &StandinGenerations[0];
    return run->generation;
}

StandinState CurrentState(MachineRun *run)
{
    StandinMachine catalogued;
    if (!ReadStandinMachine(run->name, &catalogued))
        return StandinStateCount;
    return StandinStateOf(GenerationOf(run), catalogued.state);
}

void SetRunState(MachineRun *run, StandinState state, unsigned long sessionPid)
{
    UpdateStandinMachineRun(run->name, StandinStateNumber(GenerationOf(run), state), sessionPid);
}

void SetRunStateKeepingPid(MachineRun *run, StandinState state)
{
    StandinMachine catalogued;
    if (ReadStandinMachine(run->name, &catalogued))
        SetRunState(run, state, catalogued.sessionPid);
}

int IsHanging(MachineRun *run)
{
    char behaviour[32];
    unsigned long exitCode = 0;
    return run->attachment != 0 && ReadStandinBehaviour(run->name, behaviour, sizeof(behaviour), &exitCode) &&
           strcmp(behaviour, "hang") == 0;
}

void ReadGuest(MachineRun *run, char *behaviour, size_t size)
{
    ReadStandinGuest(run->name, behaviour, size);
}

// A guest that crashes does so whenever it runs: Guru Meditation, the machine
// Stuck, its process alive. Called with RunsLock held.
void ApplyGuestCrash(MachineRun *run)
{
    char guest[32];
    ReadGuest(run, guest, sizeof(guest));
    if (strcmp(guest, "crashes") != 0 || CurrentState(run) != StandinState_Running)
        return;
    run->guestPending = 0;
    run->ticket = ++LastTicket;
    SetRunStateKeepingPid(run, StandinState_Stuck);
}

void CompleteRunProgress(MachineRun *run, HRESULT resultCode)
{
    if (run->progress != NULL) {
        CompleteProgress(run->progress, resultCode);
        run->progress->Release();
        run->progress = NULL;
    }
}

// The machine is off or saved: the progress completes, then the process is
// told to end. Called with RunsLock held.
void EndRun(MachineRun *run, StandinState final)
{
    if (run->attachment != 0) {
        SetRunStateKeepingPid(run, final);
        run->ending = 1;
    } else {
        SetRunState(run, final, 0);
    }
    CompleteRunProgress(run, S_OK);
    run->operation = StopNone;
    run->guestPending = 0;
    run->ticket = ++LastTicket;
    if (run->attachment != 0)
        WriteStandinLine(run->headlessPipe, "QUIT");
}

// A power-off or save that failed: the state it leaves depends on the generation.
void FailRun(MachineRun *run)
{
    const StandinGeneration *generation = GenerationOf(run);
    if (run->operation == StopSaveState && generation->failedSave == StandinFailedSave_Paused)
        SetRunStateKeepingPid(run, StandinState_Paused);
    else if (run->operation == StopPowerDown || generation->failedSave == StandinFailedSave_Restored)
        SetRunStateKeepingPid(run, run->before);
    CompleteRunProgress(run, run->outcome);
    run->operation = StopNone;
    run->ticket = ++LastTicket;
    ApplyGuestCrash(run);
}

// An operation's delay is over. Called with RunsLock held.
void FinishOperation(MachineRun *run, StopOperation operation)
{
    // A hanging VBoxHeadless finishes nothing: its machine never goes down.
    if (IsHanging(run))
        return;
    switch (operation) {
    case StopGuestSleep:
        run->guestPending = 0;
        if (CurrentState(run) == StandinState_Running)
            SetRunStateKeepingPid(run, StandinState_Paused);
        break;
    case StopGuestPowerOff:
        if (CurrentState(run) == StandinState_Running)
            EndRun(run, StandinState_PoweredOff);
        break;
    case StopPowerDown:
    case StopSaveState:
        if (FAILED(run->outcome))
            FailRun(run);
        else
            EndRun(run, operation == StopSaveState ? StandinState_Saved : StandinState_PoweredOff);
        break;
    case StopNone:
        break;
    }
}

DWORD WINAPI RunPendingOperation(void *context)
{
    PendingOperation *pending = (PendingOperation *)context;
    if (pending->delay > 0)
        WaitForSingleObject(ServerEndingEvent, (DWORD)pending->delay);
    EnterCriticalSection(&RunsLock);
    MachineRun *run = FindRun(pending->name, 0);
    if (run != NULL && run->ticket == pending->ticket)
        FinishOperation(run, pending->operation);
    LeaveCriticalSection(&RunsLock);
    HeapFree(GetProcessHeap(), 0, pending);
    return 0;
}

// Called with RunsLock held; a delay of -1 means never.
void ScheduleOperation(MachineRun *run, StopOperation operation, long delay)
{
    if (delay < 0)
        return;
    PendingOperation *pending = (PendingOperation *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(PendingOperation));
    if (pending == NULL)
        return;
    lstrcpynA(pending->name, run->name, sizeof(pending->name));
    pending->ticket = run->ticket;
    pending->operation = operation;
    pending->delay = delay;
    HANDLE thread = CreateThread(NULL, 0, RunPendingOperation, pending, 0, NULL);
    if (thread == NULL)
        HeapFree(GetProcessHeap(), 0, pending);
    else
        CloseHandle(thread);
}

// ConsoleImpl.cpp: PowerDown in Running, Paused and Stuck, and in a
// teleportation or snapshot, which it cancels first; never during Starting,
// Restoring, Saving (a save cannot be cancelled) or another power-off.
// SaveState in Running and Paused only.
int CanStop(StandinState state, StopOperation operation)
{
    if (operation == StopSaveState)
        return state == StandinState_Running || state == StandinState_Paused;
    switch (state) {
    case StandinState_Running:
    case StandinState_Paused:
    case StandinState_Stuck:
    case StandinState_Teleporting:
    case StandinState_LiveSnapshotting:
    case StandinState_OnlineSnapshotting:
        return 1;
    default:
        return 0;
    }
}

// The ACPI buttons and the ACPI question: Running, and while teleporting or
// taking a live snapshot.
int TakesAcpiEvents(StandinState state)
{
    return state == StandinState_Running || state == StandinState_Teleporting ||
           state == StandinState_LiveSnapshotting;
}

// Starts a power-off or a save of the machine. Called with RunsLock held.
HRESULT BeginStop(MachineRun *run, StandinState state, StopOperation operation, HRESULT outcome, int withProgress)
{
    if (!CanStop(state, operation))
        return STANDIN_E_INVALID_VM_STATE;
    const StandinGeneration *generation = GenerationOf(run);
    // 7.0 and 7.1 report any failed save as a bare E_FAIL.
    if (operation == StopSaveState && FAILED(outcome) && generation->failedSave == StandinFailedSave_Saving)
        outcome = E_FAIL;
    CompleteRunProgress(run, E_ABORT);
    run->progress = withProgress ? NewProgressObject(generation, run->name) : NULL;
    run->operation = operation;
    run->outcome = outcome;
    run->before = state;
    run->guestPending = 0;
    run->ticket = ++LastTicket;
    if (operation == StopSaveState) {
        // 4.0 pauses a running machine before it saves it.
        if (generation->savePausesFirst && state == StandinState_Running)
            SetRunStateKeepingPid(run, StandinState_Paused);
        SetRunStateKeepingPid(run, StandinState_Saving);
    } else {
        SetRunStateKeepingPid(run, StandinState_Stopping);
    }
    return S_OK;
}

// The run of a catalogued machine, with the caller's generation; takes
// RunsLock (left held on success).
HRESULT EnterRun(const StandinGeneration *generation, const char *machineName, MachineRun **run, StandinState *state)
{
    StandinMachine catalogued;
    if (!ReadStandinMachine(machineName, &catalogued))
        return STANDIN_E_OBJECT_NOT_FOUND;
    EnterCriticalSection(&RunsLock);
    *run = FindRun(machineName, 1);
    if (*run == NULL) {
        LeaveCriticalSection(&RunsLock);
        return E_OUTOFMEMORY;
    }
    (*run)->generation = generation;
    *state = StandinStateOf(generation, catalogued.state);
    return S_OK;
}

// A client's exclusive lock that still counts. Called with RunsLock held.
int IsWriteLocked(MachineRun *run)
{
    if (run->writeLock != NULL && (!run->writeLock->Held() || run->writeLock->ClientGone())) {
        run->writeLock->GiveBack();
        run->writeLock->Release();
        run->writeLock = NULL;
    }
    return run->writeLock != NULL;
}

}  // namespace

int IsOnlineState(StandinState state)
{
    switch (state) {
    case StandinState_Running:
    case StandinState_Paused:
    case StandinState_Stuck:
    case StandinState_Teleporting:
    case StandinState_LiveSnapshotting:
    case StandinState_Starting:
    case StandinState_Stopping:
    case StandinState_Saving:
    case StandinState_Restoring:
    case StandinState_TeleportingPausedVM:
    case StandinState_TeleportingIn:
    case StandinState_FaultTolerantSyncing:
    case StandinState_DeletingSnapshotOnline:
    case StandinState_DeletingSnapshotPaused:
    case StandinState_OnlineSnapshotting:
        return 1;
    default:
        return 0;
    }
}

void InitializeMachineRuns(void)
{
    InitializeCriticalSection(&RunsLock);
}

void ServeHeadlessAttachment(HANDLE pipe, DWORD pid, const char *uuid)
{
    char name[256];
    if (!FindStandinMachineByUuid(uuid, name, sizeof(name))) {
        WriteStandinLine(pipe, "ERR no machine has this UUID");
        return;
    }
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == NULL) {
        WriteStandinLine(pipe, "ERR the process cannot be watched");
        return;
    }
    EnterCriticalSection(&RunsLock);
    MachineRun *run = FindRun(name, 1);
    if (run == NULL || run->attachment != 0 || IsWriteLocked(run)) {
        LeaveCriticalSection(&RunsLock);
        // VBoxHeadless's own LockMachine fails: "already locked" (MachineImpl.cpp).
        WriteStandinLine(pipe, run == NULL ? "ERR too many machines" : "LOCKED");
        CloseHandle(process);
        return;
    }
    unsigned long attachment = ++LastAttachment;
    run->attachment = attachment;
    run->headlessPid = pid;
    run->headlessProcess = process;
    run->headlessPipe = pipe;
    run->ending = 0;
    run->operation = StopNone;
    run->guestPending = 0;
    run->ticket = ++LastTicket;
    // A VirtualBox that speaks no known generation still runs machines; their
    // states are numbered as the first generation numbers them.
    run->generation = NULL;
    StandinMachine catalogued;
    ReadStandinMachine(name, &catalogued);
    StandinState state = StandinStateOf(GenerationOf(run), catalogued.state);
    char behaviour[32];
    unsigned long exitCode = 0;
    ReadStandinBehaviour(name, behaviour, sizeof(behaviour), &exitCode);
    char reply[300];
    snprintf(reply, sizeof(reply), "OK %s", name);
    // Answered under the lock: no QUIT may overtake the answer.
    WriteStandinLine(pipe, reply);
    if (strcmp(behaviour, "fail") == 0) {
        // A power-up that fails after the lock: Starting (Restoring for a
        // saved machine), then back to the state it had; VBoxHeadless exits 0.
        int saved = state == StandinState_Saved || state == StandinState_AbortedSaved;
        SetRunState(run, saved ? StandinState_Restoring : StandinState_Starting, pid);
        UpdateStandinMachineRun(name, catalogued.state, 0);
        run->ending = 1;
        WriteStandinLine(pipe, "QUIT");
    } else {
        SetRunState(run, StandinState_Running, pid);
        ApplyGuestCrash(run);
    }
    LeaveCriticalSection(&RunsLock);

    WaitForSingleObject(process, INFINITE);

    EnterCriticalSection(&RunsLock);
    // A reset or the server's end has detached it already when it is not found.
    run = FindRunByAttachment(attachment);
    if (run != NULL) {
        run->attachment = 0;
        run->headlessPid = 0;
        run->headlessProcess = NULL;
        run->headlessPipe = NULL;
        StandinMachine catalogued;
        if (run->ending) {
            // Off or saved already: only the session is gone.
            if (ReadStandinMachine(run->name, &catalogued))
                UpdateStandinMachineRun(run->name, catalogued.state, 0);
        } else {
            // Ended unasked (a crash, or killed): as a power cut, whatever was under way.
            SetRunState(run, StandinState_Aborted, 0);
            CompleteRunProgress(run, E_FAIL);
        }
        run->ending = 0;
        run->operation = StopNone;
        run->guestPending = 0;
        run->ticket = ++LastTicket;
    }
    LeaveCriticalSection(&RunsLock);
    CloseHandle(process);
}

HRESULT TakeMachineLock(const StandinGeneration *generation, const char *machineName, SessionLock *lock)
{
    DWORD started = GetTickCount();
    for (;;) {
        MachineRun *run = NULL;
        StandinState state = StandinStateCount;
        HRESULT result = EnterRun(generation, machineName, &run, &state);
        if (FAILED(result))
            return result;
        // A machine whose session is being unlocked (off, its process not yet
        // gone) is waited for a moment, then refused.
        if (run->ending && run->attachment != 0) {
            LeaveCriticalSection(&RunsLock);
            if (GetTickCount() - started >= UnlockingWaitMs)
                return STANDIN_E_INVALID_OBJECT_STATE;
            Sleep(20);
            continue;
        }
        // The machine's session process (ours, or one that runs it without
        // us) shares its lock; a machine that nobody holds is locked for the caller alone.
        if (run->attachment != 0 || IsOnlineState(state)) {
            lock->exclusive = 0;
        } else if (IsWriteLocked(run)) {
            result = STANDIN_E_INVALID_OBJECT_STATE;
        } else {
            lock->exclusive = 1;
            lock->AddRef();
            run->writeLock = lock;
        }
        LeaveCriticalSection(&RunsLock);
        return result;
    }
}

void ReleaseMachineLock(SessionLock *lock)
{
    EnterCriticalSection(&RunsLock);
    MachineRun *run = FindRun(lock->machine, 0);
    if (run != NULL && run->writeLock == lock) {
        run->writeLock = NULL;
        lock->Release();
    }
    LeaveCriticalSection(&RunsLock);
}

HRESULT StartMachineStop(const StandinGeneration *generation, const char *machineName, StopOperation operation,
                         const char *method, void **progress, JournalLine *line)
{
    MachineRun *run = NULL;
    StandinState state = StandinStateCount;
    HRESULT result = EnterRun(generation, machineName, &run, &state);
    if (FAILED(result)) {
        WriteJournalLine(line, result);
        return result;
    }
    result = BeginStop(run, state, operation, ReadStandinOutcome(method), 1);
    StandinObject *created = SUCCEEDED(result) ? run->progress : NULL;
    if (created != NULL)
        created->AddRef();
    WriteJournalLine(line, result);
    if (SUCCEEDED(result))
        ScheduleOperation(run, operation, ReadStandinDelay(operation == StopSaveState ? "SaveState" : "PowerDown"));
    LeaveCriticalSection(&RunsLock);
    *progress = created != NULL ? created->Face() : NULL;
    return result;
}

HRESULT PressMachineButton(const StandinGeneration *generation, const char *machineName, const char *button,
                           JournalLine *line)
{
    MachineRun *run = NULL;
    StandinState state = StandinStateCount;
    HRESULT result = EnterRun(generation, machineName, &run, &state);
    if (SUCCEEDED(result) && !TakesAcpiEvents(state))
        result = STANDIN_E_INVALID_VM_STATE;
    WriteJournalLine(line, result);
    if (run == NULL)
        return result;
    // The press is latched for the guest, which answers it or not; a guest
    // already reacting to a press is not held up by another.
    if (SUCCEEDED(result) && !run->guestPending) {
        char guest[32];
        ReadGuest(run, guest, sizeof(guest));
        StandinMachine catalogued;
        int sleepButton = strcmp(button, "SleepButton") == 0;
        StopOperation reaction = StopNone;
        if (strcmp(guest, "normal") == 0)
            reaction = StopGuestPowerOff;
        else if (strcmp(guest, "sleeps") == 0 && !sleepButton)
            reaction = StopGuestPowerOff;
        else if (strcmp(guest, "sleeps") == 0 && ReadStandinMachine(run->name, &catalogued) && catalogued.sleepStates)
            reaction = StopGuestSleep;
        long delay = ReadStandinDelay(button);
        if (reaction != StopNone && delay >= 0) {
            run->guestPending = 1;
            ScheduleOperation(run, reaction, delay);
        }
    }
    LeaveCriticalSection(&RunsLock);
    return result;
}

HRESULT AskGuestEnteredAcpiMode(const StandinGeneration *generation, const char *machineName, long *entered,
                                JournalLine *line)
{
    MachineRun *run = NULL;
    StandinState state = StandinStateCount;
    HRESULT result = EnterRun(generation, machineName, &run, &state);
    if (SUCCEEDED(result) && !TakesAcpiEvents(state))
        result = STANDIN_E_INVALID_VM_STATE;
    if (SUCCEEDED(result)) {
        char guest[32];
        ReadGuest(run, guest, sizeof(guest));
        *entered = strcmp(guest, "no-acpi") != 0;
    }
    WriteJournalLine(line, result);
    if (run != NULL)
        LeaveCriticalSection(&RunsLock);
    return result;
}

void NoteGuestChange(const char *machineName)
{
    EnterCriticalSection(&RunsLock);
    MachineRun *run = FindRun(machineName, 1);
    if (run != NULL)
        ApplyGuestCrash(run);
    LeaveCriticalSection(&RunsLock);
}

int EndMachineFromHeadless(const char *machineName, const char *how)
{
    StopOperation operation = strcmp(how, "savestate") == 0 ? StopSaveState
                              : strcmp(how, "poweroff") == 0 ? StopPowerDown : StopNone;
    if (operation == StopNone)
        return 0;
    EnterCriticalSection(&RunsLock);
    MachineRun *run = FindRun(machineName, 0);
    // VBoxHeadless's own stop has no caller to report to: it succeeds.
    int started = run != NULL && run->attachment != 0 && !run->ending &&
                  SUCCEEDED(BeginStop(run, CurrentState(run), operation, S_OK, 0));
    if (started)
        ScheduleOperation(run, operation, ReadStandinDelay(operation == StopSaveState ? "SaveState" : "PowerDown"));
    LeaveCriticalSection(&RunsLock);
    return started;
}

void EndAllMachines(void)
{
    HANDLE ending[MaxRuns];
    DWORD count = 0;
    EnterCriticalSection(&RunsLock);
    for (int i = 0; i < MaxRuns; i++) {
        MachineRun *run = &Runs[i];
        if (!run->used)
            continue;
        if (run->attachment != 0) {
            // END is obeyed whatever the behaviour, so nothing is left running.
            WriteStandinLine(run->headlessPipe, "END");
            if (DuplicateHandle(GetCurrentProcess(), run->headlessProcess, GetCurrentProcess(), &ending[count], SYNCHRONIZE,
                                FALSE, 0))
                count++;
        }
        if (run->progress != NULL) {
            AbortProgress(run->progress);
            run->progress->Release();
        }
        if (run->writeLock != NULL) {
            run->writeLock->GiveBack();
            run->writeLock->Release();
        }
        ZeroMemory(run, sizeof(*run));
    }
    LastTicket++;
    LeaveCriticalSection(&RunsLock);
    if (count > 0)
        WaitForMultipleObjects(count, ending, TRUE, 10000);
    for (DWORD i = 0; i < count; i++)
        CloseHandle(ending[i]);
}

int CountAttachedHeadless(void)
{
    int count = 0;
    EnterCriticalSection(&RunsLock);
    for (int i = 0; i < MaxRuns; i++) {
        if (Runs[i].used && Runs[i].attachment != 0)
            count++;
    }
    LeaveCriticalSection(&RunsLock);
    return count;
}
