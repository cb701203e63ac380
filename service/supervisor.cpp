#include "supervisor.h"

#include <errno.h>
#include <process.h>
#include <stdio.h>
#include <string.h>

#include "log.h"
#include "pipe_server.h"
#include "query_thread.h"
#include "service_status.h"
#include "settings.h"
#include "stop_sequence.h"
#include "vbox_session.h"
#include "vbox_thread.h"
#include "vm_start.h"
#include "vm_stop.h"

HANDLE StopEvent;
HANDLE VmExitedEvent;
// Manual-reset: set once the supervisor has let VirtualBox go, after its last report.
static HANDLE VirtualBoxReleased;
static volatile LONG SupervisorStarted;

// How long the start (connecting, finding the machine, starting
// VBoxHeadless) may take VirtualBox.
static const DWORD StartBoundMs = 120000;
// A step of a stop has VirtualBoxTimeout for its operation and this much
// more for the calls around it.
static const DWORD StepAllowanceMs = 10000;
// A read of the machine's condition that takes longer counts as unknown.
static const DWORD ReadBoundMs = 5000;
// While the machine comes up it is looked at this often, and the start
// reported as pending once a second; while it runs, a crashed guest is found
// within LookIntervalMs.
static const DWORD StartingLookMs = 250;
static const DWORD LookIntervalMs = 5000;
// A step under way when the machine's process ended is awaited this long.
static const DWORD EndedStepWaitMs = 5000;
// After its process has ended VirtualBox sets the machine's final state
// itself; it is awaited this long.
static const DWORD SettleMs = 5000;
static const DWORD SettleLookMs = 100;
// How long the end waits for the pipe's query thread and for the VirtualBox
// thread to let their connections go.
static const DWORD QueryThreadWaitMs = 5000;
static const DWORD ReleaseWaitMs = 5000;
// The exit code of a machine's process that the service ended.
static const UINT EndedByServiceExitCode = ERROR_PROCESS_ABORTED;

int CreateSupervisorEvents(void)
{
    StopEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    VmExitedEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    VirtualBoxReleased = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (StopEvent != NULL && VmExitedEvent != NULL && VirtualBoxReleased != NULL)
        return 1;
    WriteLog(1, "ERROR creating the service's events (0x%08x)", (unsigned)GetLastError());
    return 0;
}

void CALLBACK OnVmProcessExit(void *, BOOLEAN)
{
    SetEvent(VmExitedEvent);
}

// What the supervisor knows of its machine while it watches it.
struct VmWatch {
    int reportedRunning;   // the service reported running
    int everRunning;       // the machine was seen running
    ULONG sessionPid;      // the process VirtualBox names as the session's
    DWORD startedAt;
    DWORD nextLook;        // tick of the next look at the machine
    DWORD nextStartReport;
};

// The work handed to the VirtualBox thread, each with a record that
// outlives a late piece of work: the supervisor hands over one at a time,
// and writes a record only once the thread is free of late work.
static struct {
    const char *name;
    int started;
} StartJob;

static struct {
    const char *name;
    int wantsPid;
    enum MachineCondition condition;
    ULONG sessionPid;
} ReadJob;

static struct {
    const char *name;
    char word[64];
    enum StopMethod method;
    DWORD waitMs;
    struct StepResult result;
} StepJob;

static void StartWork(void)
{
    OpenVirtualBox();
    StartJob.started = StartVm(StartJob.name);
}

static void ReadWork(void)
{
    ReadJob.sessionPid = 0;
    ReadJob.condition = ReadVmCondition(ReadJob.name, ReadJob.wantsPid ? &ReadJob.sessionPid : NULL);
}

static void StepWork(void)
{
    StopVmWith(StepJob.name, StepJob.word, StepJob.method, StepJob.waitMs, &StepJob.result);
}

static void ReleaseWork(void)
{
    ForgetVmCondition();
    ReleaseVirtualBox();
}

static HANDLE VmProcessHandle(void)
{
    return VmProcess.hProcess != NULL ? VmProcess.hProcess : AdoptedVmProcess;
}

static int VmProcessEnded(void)
{
    HANDLE process = VmProcessHandle();
    return process != NULL && WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

// The machine's condition, or unknown when VirtualBox does not answer in
// time. Given its process, which still runs: until the machine has been seen
// running, a machine that VirtualBox shows as off is one that VBoxHeadless
// has not yet taken up.
static enum MachineCondition ReadCondition(const char *name, struct VmWatch *watch, HANDLE process)
{
    DWORD started = GetTickCount();
    if (RunVboxWork(NULL, started, ReadBoundMs, process) != VboxWorkDone)
        return MachineUnknown;
    ReadJob.name = name;
    ReadJob.wantsPid = watch->sessionPid == 0;
    if (RunVboxWork(ReadWork, started, ReadBoundMs, process) != VboxWorkDone)
        return MachineUnknown;
    if (ReadJob.sessionPid != 0)
        watch->sessionPid = ReadJob.sessionPid;
    enum MachineCondition condition = ReadJob.condition;
    if (condition == MachineRunning || condition == MachinePaused || condition == MachineStuck)
        watch->everRunning = 1;
    int off = condition == MachinePoweredOff || condition == MachineSaved || condition == MachineAborted
        || condition == MachineOff;
    if (process != NULL && off && !watch->everRunning)
        return MachineComingUp;
    return condition;
}

static void RunStep(const char *name, const struct StopSequence *sequence, struct StepResult *result)
{
    // VirtualBoxTimeout 0 sets no limit.
    DWORD bound = sequence->bound == 0 ? INFINITE : sequence->bound + StepAllowanceMs;
    DWORD started = GetTickCount();
    enum VboxWorkResult done = RunVboxWork(NULL, started, bound, VmProcessHandle());
    if (done == VboxWorkDone) {
        StepJob.name = name;
        snprintf(StepJob.word, sizeof(StepJob.word), "%s", sequence->callWord);
        StepJob.method = sequence->callMethod;
        StepJob.waitMs = sequence->bound == 0 ? INFINITE : sequence->bound;
        done = RunVboxWork(StepWork, started, bound, VmProcessHandle());
        // A machine that ended meanwhile ends the step too, moments later:
        // what it says of itself is still this stop's.
        if (done == VboxWorkMachineEnded)
            done = RunVboxWork(NULL, GetTickCount(), EndedStepWaitMs, NULL);
    }
    if (done == VboxWorkDone) {
        *result = StepJob.result;
        return;
    }
    ZeroMemory(result, sizeof(*result));
    result->outcome = StepUnfinished;
}

// 0 once the process has ended, else why it has not.
static DWORD EndOneProcess(HANDLE process)
{
    if (process == NULL)
        return ERROR_INVALID_HANDLE;
    if (!TerminateProcess(process, EndedByServiceExitCode)) {
        // One that ended meanwhile is refused, and is what was wanted.
        DWORD error = GetLastError();
        return WaitForSingleObject(process, 0) == WAIT_OBJECT_0 ? NO_ERROR : error;
    }
    return WaitForSingleObject(process, 5000) == WAIT_OBJECT_0 ? NO_ERROR : WAIT_TIMEOUT;
}

// The last resort: the machine is ended as a power cut would end it. On
// Windows the session may be held by a child of the process the service
// started; that one goes too.
static void EndVmProcess(const struct VmWatch *watch)
{
    DWORD started = VmProcess.hProcess != NULL ? VmProcess.dwProcessId : 0;
    if (watch->sessionPid != 0 && watch->sessionPid != started) {
        HANDLE session = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, watch->sessionPid);
        EndOneProcess(session);
        if (session != NULL)
            CloseHandle(session);
    }
    DWORD error = EndOneProcess(VmProcessHandle());
    if (error != NO_ERROR)
        WriteLog(1, "ERROR ending the process of VM '%s' (0x%08x)", ServiceSettings.VmName, (unsigned)error);
}

// Carries out what the stop sequence asks for until it waits.
static void CarryOut(const char *name, struct StopSequence *sequence, struct VmWatch *watch, enum StopAction action)
{
    while (action != StopActionWait) {
        // No press and no fallback for a machine whose process has ended.
        if (action != StopActionEndProcess && VmProcessEnded())
            return;
        switch (action) {
        case StopActionReadState:
            action = OnMachineCondition(sequence, ReadCondition(name, watch, VmProcessHandle()), GetTickCount());
            break;
        case StopActionCall: {
            struct StepResult result;
            RunStep(name, sequence, &result);
            // The step may be what ended the machine: that is noted, and nothing follows.
            if (VmProcessEnded()) {
                NoteStepResult(sequence, &result);
                return;
            }
            action = OnStepResult(sequence, &result, GetTickCount());
            break;
        }
        case StopActionEndProcess:
            EndVmProcess(watch);
            action = StopActionWait;
            break;
        case StopActionWait:
            break;
        }
    }
}

// A stop control: the heartbeat and the end of the pipe come once per stop.
static void OnStop(const char *name, struct StopSequence *sequence, struct VmWatch *watch)
{
    if (!IsStopAsked(sequence)) {
        if (_beginthread(StopPendingHeartbeat, 0, NULL) == (uintptr_t)-1L)
            WriteLog(1, "ERROR starting the stop's heartbeat (0x%08x)", (unsigned)errno);
        StopPipeServer();
    }
    CarryOut(name, sequence, watch, OnStopControl(sequence, GetTickCount()));
}

// While no stop is asked for: the service reports running once the machine
// runs, and a guest that crashes is found.
static void LookAtMachine(const char *name, struct StopSequence *sequence, struct VmWatch *watch)
{
    enum MachineCondition condition = ReadCondition(name, watch, VmProcessHandle());
    DWORD now = GetTickCount();
    if (!watch->reportedRunning && (watch->everRunning || now - watch->startedAt >= StartBoundMs)) {
        watch->reportedRunning = 1;
        ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
        // The first question of a tray after the start is answered like any other.
        OpenQueryConnection();
    } else if (!watch->reportedRunning && now - watch->nextStartReport < 0x80000000u) {
        ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, 2 * LookIntervalMs);
        watch->nextStartReport = now + 1000;
    }
    watch->nextLook = now + (watch->everRunning ? LookIntervalMs : StartingLookMs);
    if (condition == MachineStuck && !IsStopAsked(sequence))
        CarryOut(name, sequence, watch, OnVmCrash(sequence, now));
}

static DWORD UntilNextLook(const struct VmWatch *watch)
{
    DWORD now = GetTickCount();
    return watch->nextLook - now < 0x80000000u ? watch->nextLook - now : 0;
}

// After the process has ended, VirtualBox's own word on the machine: the
// state it settles in.
static enum MachineCondition SettledCondition(const char *name, struct VmWatch *watch)
{
    DWORD started = GetTickCount();
    for (;;) {
        enum MachineCondition condition = ReadCondition(name, watch, NULL);
        switch (condition) {
        case MachinePoweredOff:
        case MachineSaved:
        case MachineAborted:
        case MachineOff:
        case MachineUnknown:
            return condition;
        default:
            break;
        }
        if (GetTickCount() - started >= SettleMs)
            return MachineUnknown;
        Sleep(SettleLookMs);
    }
}

// The machine's process has ended (or can no longer be waited for). Returns
// the service-specific exit code of the final report.
static DWORD EndWatch(const char *name, int waitFailed, struct StopSequence *sequence, struct VmWatch *watch)
{
    DWORD waitError = GetLastError();
    // Waits for a callback under way, so that none runs once the handles are closed.
    UnregisterWaitEx(VmExitWait, INVALID_HANDLE_VALUE);
    VmExitWait = NULL;
    DWORD failure = VmEndedAbnormallyExitCode;
    if (waitFailed) {
        WriteLog(1, "ERROR waiting for VM '%s' (0x%08x)", name, (unsigned)waitError);
    } else {
        // A stop asked for while the machine came up, and not yet acted on, is this end's.
        if (!IsStopAsked(sequence) && WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0)
            OnStopControl(sequence, GetTickCount());
        struct VmEnd end;
        ZeroMemory(&end, sizeof(end));
        // An adopted machine has no process handle: its exit code is unknown.
        end.exitCodeKnown = VmProcess.hProcess != NULL && GetExitCodeProcess(VmProcess.hProcess, &end.exitCode);
        end.everRunning = watch->everRunning;
        end.condition = SettledCondition(name, watch);
        failure = TellVmEnd(sequence, &end);
    }
    if (VmProcess.hProcess != NULL)
        CloseHandle(VmProcess.hProcess);
    if (VmProcess.hThread != NULL)
        CloseHandle(VmProcess.hThread);
    ZeroMemory(&VmProcess, sizeof(VmProcess));
    if (AdoptedVmProcess != NULL)
        CloseHandle(AdoptedVmProcess);
    AdoptedVmProcess = NULL;
    return failure;
}

static DWORD WatchVm(const char *name)
{
    HANDLE events[2] = { StopEvent, VmExitedEvent };
    struct StopSequence sequence;
    struct VmWatch watch;
    InitStopSequence(&sequence, name);
    ZeroMemory(&watch, sizeof(watch));
    watch.startedAt = watch.nextLook = watch.nextStartReport = GetTickCount();
    for (;;) {
        DWORD waitMs = IsStopAsked(&sequence) || sequence.crashed ? StopWaitMs(&sequence, GetTickCount())
                                                                    : UntilNextLook(&watch);
        DWORD fired = WaitForMultipleObjects(2, events, FALSE, waitMs);
        if (fired == WAIT_OBJECT_0)
            OnStop(name, &sequence, &watch);
        else if (fired == WAIT_TIMEOUT && (IsStopAsked(&sequence) || sequence.crashed))
            CarryOut(name, &sequence, &watch, OnStopDeadline(&sequence, GetTickCount()));
        else if (fired == WAIT_TIMEOUT)
            LookAtMachine(name, &sequence, &watch);
        else
            // Waiting again after a failed wait would spin for ever.
            return EndWatch(name, fired != WAIT_OBJECT_0 + 1, &sequence, &watch);
    }
}

// Opens the connection and starts (or adopts) the machine on the VirtualBox
// thread. 1 when the machine's process is watched.
static int StartMachine(const char *name)
{
    StartJob.name = name;
    StartJob.started = 0;
    if (RunVboxWork(StartWork, GetTickCount(), StartBoundMs, NULL) == VboxWorkDone)
        return StartJob.started;
    WriteLog(1, "ERROR: VirtualBox did not answer within %u ms while starting VM '%s'", (unsigned)StartBoundMs, name);
    return 0;
}

void __cdecl SupervisorThread(void *)
{
    const char *name = ServiceSettings.VmName;
    DWORD failure = 0;

    InterlockedExchange(&SupervisorStarted, 1);
    if (StopEvent == NULL || VmExitedEvent == NULL || !StartMachine(name))
        failure = VmStartFailedExitCode;
    else
        failure = WatchVm(name);
    // The pipe ends with the machine, whichever way it ended.
    StopPipeServer();
    // The final report before VirtualBox's objects are let go: a server that
    // died or hangs could hold the releases up, and the process ends after
    // the report anyway, within the bound of WaitForSupervisorToLetGo.
    LogClosingVirtualBox();
    ReportServiceStopped(failure);
    WaitForQueryThread(QueryThreadWaitMs);
    if (RunVboxWork(ReleaseWork, GetTickCount(), ReleaseWaitMs, NULL) == VboxWorkDone && VirtualBoxReleased != NULL)
        SetEvent(VirtualBoxReleased);
}

void WaitForSupervisorToLetGo(DWORD timeoutMs)
{
    if (SupervisorStarted && VirtualBoxReleased != NULL)
        WaitForSingleObject(VirtualBoxReleased, timeoutMs);
}
