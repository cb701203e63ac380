#include "supervisor.h"

#include <errno.h>
#include <process.h>
#include <stdio.h>
#include <string.h>

#include "log.h"
#include "pipe_server.h"
#include "service_status.h"
#include "settings.h"
#include "vbox_session.h"
#include "vm_start.h"
#include "vm_stop.h"

HANDLE StopEvent;
HANDLE VmExitedEvent;
// Manual-reset: set once the supervisor has let VirtualBox go, after its last report.
static HANDLE VirtualBoxReleased;
static volatile LONG SupervisorStarted;

// Presses far enough apart are no forced power-off to any guest.
static const DWORD RepressGapMs = 10000;
// A guest that went down by itself just as ShutdownTimeout ran out refuses
// the fallback; its process ends moments later.
static const DWORD FallbackGraceMs = 3000;

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

DWORD RepressDelay(enum StopMethod method, DWORD shutdownTimeout)
{
    // A guest still booting missed the first press of the power button: it is
    // pressed once more, half way. The sleep button is never pressed again: a
    // second press would wake a guest that has gone to sleep.
    if (method != StopMethodAcpiPowerButton || shutdownTimeout / 2 < RepressGapMs)
        return 0;
    return shutdownTimeout / 2;
}

// The stop under way, as the supervisor follows it.
struct StopWatch {
    struct StopAttempt last;   // the attempt that decides how the machine's end is reported
    int begun;                 // a stop control has come: the heartbeat runs, the pipe is closed
    int waiting;               // an ACPI press awaits the guest
    DWORD pressed;             // GetTickCount of that press
    DWORD timeout;             // ShutdownTimeout; 0: wait for ever
    DWORD repressAt;           // ms after the press; 0: no second press
    char fallback[64];
    enum StopMethod fallbackMethod;  // StopMethodNone: none
};

// ShutdownTimeout 0 waits for ever, and so does the fallback "none".
static int FallsBackAfterTimeout(const struct StopWatch *watch)
{
    return watch->timeout != 0 && watch->fallbackMethod != StopMethodNone;
}

// Whether the machine's process has ended within waitMs.
static int VmProcessEnds(DWORD waitMs)
{
    HANDLE process = VmProcess.hProcess != NULL ? VmProcess.hProcess : AdoptedVmProcess;
    return process != NULL && WaitForSingleObject(process, waitMs) == WAIT_OBJECT_0;
}

// The fallback stops a machine that the configured method did not: once.
static void RunFallback(const char *name, struct StopWatch *watch)
{
    watch->waiting = 0;
    StopResult = 0;
    struct StopAttempt fallback;
    StopVmWith(name, watch->fallback, watch->fallbackMethod, &fallback);
    // After a press that the guest obeyed late, the press decides how the end is told.
    int guestWentDown = fallback.outcome != StopCarriedOut && watch->last.outcome == StopSignalled
        && VmProcessEnds(FallbackGraceMs);
    if (guestWentDown)
        StopResult = 0;
    else
        watch->last = fallback;
}

static void BeginStop(const char *name, struct StopWatch *watch)
{
    // The heartbeat first: StopVm may block for as long as the machine takes.
    // One for the whole stop: a second control must not add another.
    if (!watch->begun) {
        watch->begun = 1;
        if (_beginthread(StopPendingHeartbeat, 0, NULL) == (uintptr_t)-1L)
            WriteLog(1, "ERROR starting the stop's heartbeat (0x%08x)", (unsigned)errno);
        StopPipeServer();
    }
    // A second stop control (Windows' pre-shutdown after a user's stop) presses
    // again but does not put the fallback off.
    int wasWaiting = watch->waiting;
    watch->waiting = 0;
    if (!WaitForVmStarted(name)) {
        // Gone while it came up: nothing to stop, but the one-off method was this stop's.
        RecordStopOfGoneVm(&watch->last);
        return;
    }
    CopyFallbackSettings(watch->fallback, sizeof(watch->fallback), &watch->fallbackMethod, &watch->timeout);
    StopVm(name, &watch->last);
    if (watch->last.outcome == StopRefused && watch->fallbackMethod != StopMethodNone) {
        WriteLog(2, "VM '%s' refused the stop (%s); stopping it (%s)", name, watch->last.word, watch->fallback);
        RunFallback(name, watch);
    } else if (watch->last.outcome == StopSignalled) {
        if (!wasWaiting) {
            watch->pressed = GetTickCount();
            watch->repressAt = RepressDelay(watch->last.method, watch->timeout);
        }
        watch->waiting = FallsBackAfterTimeout(watch) || watch->repressAt != 0;
    }
}

// How long the supervisor may sleep before the next step of an ACPI wait.
static DWORD NextStepIn(const struct StopWatch *watch)
{
    if (!watch->waiting)
        return INFINITE;
    DWORD elapsed = GetTickCount() - watch->pressed;
    DWORD next = watch->repressAt != 0 ? watch->repressAt : watch->timeout;
    return elapsed >= next ? 0 : next - elapsed;
}

static void ContinueStop(const char *name, struct StopWatch *watch)
{
    // The guest is down already: its end comes through VmExitedEvent.
    if (VmProcessEnds(0)) {
        watch->waiting = 0;
        return;
    }
    DWORD elapsed = GetTickCount() - watch->pressed;
    if (watch->repressAt != 0 && elapsed >= watch->repressAt) {
        watch->repressAt = 0;
        struct StopAttempt again;
        StopVmWith(name, watch->last.word, watch->last.method, &again);
        // Without a fallback, nothing is left to do but wait.
        watch->waiting = FallsBackAfterTimeout(watch);
        return;
    }
    if (elapsed < watch->timeout)
        return;
    WriteLog(2, "VM '%s' did not stop within %u ms; stopping it (%s)", name, (unsigned)watch->timeout, watch->fallback);
    RunFallback(name, watch);
}

// A non-zero exit code of VBoxHeadless is shown bare; a failed stop of a
// process that exited cleanly is shown as rc=. The exit code wins. Returns
// 1 when the machine ended abnormally.
static int LogVmEnd(const char *name, DWORD exitCode, int stopping, const struct StopAttempt *stop)
{
    HRESULT stopError = stopping ? stop->error : S_OK;
    if (exitCode == 0 && SUCCEEDED(stopError)) {
        if (stopping)
            WriteLog(2, "VM '%s' stopped (%s)", name, stop->word);
        else
            WriteLog(2, "VM '%s' stopped by itself", name);
        return 0;
    }
    const char *prefix = exitCode != 0 ? "" : "rc=";
    unsigned code = exitCode != 0 ? (unsigned)exitCode : (unsigned)stopError;
    if (stopping)
        WriteLog(1, "VM '%s' was terminated abnormally while stopping (%s0x%08x)", name, prefix, code);
    else
        WriteLog(1, "VM '%s' was terminated abnormally (%s0x%08x)", name, prefix, code);
    return 1;
}

// The machine's process has ended (or can no longer be waited for). Returns
// the service-specific exit code of the final report.
static DWORD EndWatch(const char *name, int waitFailed, const struct StopWatch *watch)
{
    DWORD waitError = GetLastError();
    // Waits for a callback under way, so that none runs once the handles are closed.
    UnregisterWaitEx(VmExitWait, INVALID_HANDLE_VALUE);
    VmExitWait = NULL;
    int abnormal = 1;
    if (waitFailed) {
        WriteLog(1, "ERROR waiting for VM '%s' (0x%08x)", name, (unsigned)waitError);
    } else {
        // An adopted machine has no process handle: the call fails and the code stays 0.
        DWORD exitCode = 0;
        GetExitCodeProcess(VmProcess.hProcess, &exitCode);
        abnormal = LogVmEnd(name, exitCode, ServiceStatus.dwCurrentState == SERVICE_STOP_PENDING, &watch->last);
    }
    if (VmProcess.hProcess != NULL)
        CloseHandle(VmProcess.hProcess);
    if (VmProcess.hThread != NULL)
        CloseHandle(VmProcess.hThread);
    ZeroMemory(&VmProcess, sizeof(VmProcess));
    if (AdoptedVmProcess != NULL)
        CloseHandle(AdoptedVmProcess);
    AdoptedVmProcess = NULL;
    return abnormal ? VmEndedAbnormallyExitCode : 0;
}

static DWORD WatchVm(const char *name)
{
    HANDLE events[2] = { StopEvent, VmExitedEvent };
    struct StopWatch watch;
    ZeroMemory(&watch, sizeof(watch));
    for (;;) {
        DWORD fired = WaitForMultipleObjects(2, events, FALSE, NextStepIn(&watch));
        if (fired == WAIT_OBJECT_0)
            BeginStop(name, &watch);
        else if (fired == WAIT_TIMEOUT)
            ContinueStop(name, &watch);
        else
            // Waiting again after a failed wait would spin for ever.
            return EndWatch(name, fired != WAIT_OBJECT_0 + 1, &watch);
    }
}

void __cdecl SupervisorThread(void *)
{
    const char *name = ServiceSettings.VmName;
    DWORD failure = 0;

    InterlockedExchange(&SupervisorStarted, 1);
    OpenVirtualBox();
    if (StopEvent == NULL || VmExitedEvent == NULL || !StartVm(name)) {
        failure = VmStartFailedExitCode;
    } else {
        ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
        failure = WatchVm(name);
    }
    // The final report before VirtualBox's objects are let go: a server that
    // died or hangs could hold the releases up, and the process ends after
    // the report anyway.
    LogClosingVirtualBox();
    ReportServiceStopped(failure);
    ReleaseVirtualBox();
    if (VirtualBoxReleased != NULL)
        SetEvent(VirtualBoxReleased);
}

void WaitForSupervisorToLetGo(DWORD timeoutMs)
{
    if (SupervisorStarted && VirtualBoxReleased != NULL)
        WaitForSingleObject(VirtualBoxReleased, timeoutMs);
}
