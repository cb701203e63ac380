// The machines' runtime in the stand-in's server: which VBoxHeadless stand-in
// runs which machine, and the stops under way. The catalogue's state and
// session pid follow from here: Running while a VBoxHeadless is attached,
// Stopping or Saving during a stop, and PoweredOff, Saved or Aborted once its
// process has ended, depending on what ended it. The catalogue holds each
// state by the number of the generation that set it.
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
    StopOperation stop;
    StandinObject *progress;   // completed when the stop is over
    const StandinGeneration *generation;  // numbers the states that the run sets
    unsigned long ticket;      // renewed by every operation: late timers see they are stale
};

struct PendingStop {
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

StandinState FinalState(StopOperation stop)
{
    switch (stop) {
    case StopPowerDown:
    case StopGuest:
        return StandinState_PoweredOff;
    case StopSaveState:
        return StandinState_Saved;
    default:
        // The machine's process ended without being asked to.
        return StandinState_Aborted;
    }
}

void SetRunState(MachineRun *run, StandinState state, unsigned long sessionPid)
{
    UpdateStandinMachineRun(run->name, StandinStateNumber(run->generation, state), sessionPid);
}

// A stop may start in these states (a second stop during a stop may not).
int CanStop(StandinState state, StopOperation operation)
{
    if (operation == StopSaveState)
        return state == StandinState_Running || state == StandinState_Paused;
    return IsOnlineState(state) && state != StandinState_Stopping && state != StandinState_Saving;
}

// Called with RunsLock held, once the machine's process has ended (or at once
// when no process runs it).
void FinishRun(MachineRun *run)
{
    SetRunState(run, FinalState(run->stop), 0);
    if (run->progress != NULL) {
        CompleteProgress(run->progress, S_OK);
        run->progress->Release();
        run->progress = NULL;
    }
    run->stop = StopNone;
    run->ticket = ++LastTicket;
}

DWORD WINAPI RunPendingStop(void *context)
{
    PendingStop *pending = (PendingStop *)context;
    if (pending->delay > 0)
        WaitForSingleObject(ServerEndingEvent, (DWORD)pending->delay);
    EnterCriticalSection(&RunsLock);
    MachineRun *run = FindRun(pending->name, 0);
    if (run != NULL && run->ticket == pending->ticket) {
        if (run->stop == StopNone)
            run->stop = pending->operation;
        if (run->attachment != 0)
            WriteStandinLine(run->headlessPipe, "QUIT");
        else
            FinishRun(run);
    }
    LeaveCriticalSection(&RunsLock);
    HeapFree(GetProcessHeap(), 0, pending);
    return 0;
}

// Called with RunsLock held; a delay of -1 means never.
void SchedulePendingStop(MachineRun *run, StopOperation operation, long delay)
{
    if (delay < 0)
        return;
    PendingStop *pending = (PendingStop *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(PendingStop));
    if (pending == NULL)
        return;
    lstrcpynA(pending->name, run->name, sizeof(pending->name));
    pending->ticket = run->ticket;
    pending->operation = operation;
    pending->delay = delay;
    HANDLE thread = CreateThread(NULL, 0, RunPendingStop, pending, 0, NULL);
    if (thread == NULL)
        HeapFree(GetProcessHeap(), 0, pending);
    else
        CloseHandle(thread);
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
    if (run == NULL || run->attachment != 0) {
        LeaveCriticalSection(&RunsLock);
        WriteStandinLine(pipe, run == NULL ? "ERR too many machines" : "ERR the machine is locked by another session");
        CloseHandle(process);
        return;
    }
    unsigned long attachment = ++LastAttachment;
    run->attachment = attachment;
    run->headlessPid = pid;
    run->headlessProcess = process;
    run->headlessPipe = pipe;
    run->stop = StopNone;
    run->ticket = ++LastTicket;
    // A VirtualBox that speaks no known generation still runs machines; their
    // states are numbered as the first generation numbers them.
    run->generation = ReadChosenStandinGeneration();
    if (run->generation == NULL)
        run->generation = &StandinGenerations[0];
    SetRunState(run, StandinState_Running, pid);
    char reply[300];
    snprintf(reply, sizeof(reply), "OK %s", name);
    // Answered under the lock: no QUIT may overtake the answer.
    WriteStandinLine(pipe, reply);
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
        FinishRun(run);
    }
    LeaveCriticalSection(&RunsLock);
    CloseHandle(process);
}

HRESULT StartMachineStop(const StandinGeneration *generation, const char *machineName, StopOperation operation,
                         void **progress, JournalLine *line)
{
    StandinMachine catalogued;
    if (!ReadStandinMachine(machineName, &catalogued)) {
        WriteJournalLine(line, STANDIN_E_OBJECT_NOT_FOUND);
        return STANDIN_E_OBJECT_NOT_FOUND;
    }
    EnterCriticalSection(&RunsLock);
    MachineRun *run = FindRun(machineName, 1);
    HRESULT result = S_OK;
    if (run == NULL)
        result = E_OUTOFMEMORY;
    else if (run->stop == StopPowerDown || run->stop == StopSaveState ||
             !CanStop(StandinStateOf(generation, catalogued.state), operation))
        result = STANDIN_E_INVALID_VM_STATE;
    StandinObject *created = NULL;
    if (SUCCEEDED(result)) {
        created = NewProgressObject(generation, machineName);
        // Whoever still waits on an earlier progress must not wait for ever.
        if (run->progress != NULL) {
            CompleteProgress(run->progress, E_ABORT);
            run->progress->Release();
        }
        run->progress = created;
        created->AddRef();
        run->stop = operation;
        run->ticket = ++LastTicket;
        run->generation = generation;
        SetRunState(run, operation == StopSaveState ? StandinState_Saving : StandinState_Stopping, catalogued.sessionPid);
    }
    WriteJournalLine(line, result);
    if (SUCCEEDED(result))
        SchedulePendingStop(run, operation, ReadStandinDelay(operation == StopSaveState ? "SaveState" : "PowerDown"));
    LeaveCriticalSection(&RunsLock);
    *progress = created != NULL ? created->Face() : NULL;
    return result;
}

HRESULT PressMachineButton(const StandinGeneration *generation, const char *machineName, const char *button,
                           JournalLine *line)
{
    StandinMachine catalogued;
    if (!ReadStandinMachine(machineName, &catalogued)) {
        WriteJournalLine(line, STANDIN_E_OBJECT_NOT_FOUND);
        return STANDIN_E_OBJECT_NOT_FOUND;
    }
    EnterCriticalSection(&RunsLock);
    MachineRun *run = FindRun(machineName, 1);
    HRESULT result = S_OK;
    if (run == NULL)
        result = E_OUTOFMEMORY;
    else if (StandinStateOf(generation, catalogued.state) != StandinState_Running || run->stop != StopNone)
        result = STANDIN_E_INVALID_VM_STATE;
    WriteJournalLine(line, result);
    if (SUCCEEDED(result)) {
        run->ticket = ++LastTicket;
        run->generation = generation;
        SchedulePendingStop(run, StopGuest, ReadStandinDelay(button));
    }
    LeaveCriticalSection(&RunsLock);
    return result;
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
            CompleteProgress(run->progress, E_ABORT);
            run->progress->Release();
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
