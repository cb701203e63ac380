#include "vm_stop.h"

#include <limits.h>
#include <stdio.h>

#include "log.h"
#include "settings.h"
#include "vbox_session.h"

enum MachineCondition ConditionOfState(ULONG state)
{
    if (VboxApi == NULL)
        return MachineUnknown;
    const struct {
        enum VboxState state;
        enum MachineCondition condition;
    } named[] = {
        { VmStatePoweredOff, MachinePoweredOff }, { VmStateSaved, MachineSaved },
        { VmStateAborted, MachineAborted },       { VmStateAbortedSaved, MachineAborted },
        { VmStateRunning, MachineRunning },       { VmStatePaused, MachinePaused },
        { VmStateStuck, MachineStuck },           { VmStateStopping, MachineStopping },
        { VmStateSaving, MachineSaving },
    };
    for (const auto &entry : named) {
        if (state == VboxStateNumber(entry.state))
            return entry.condition;
    }
    // Below Running nothing runs; above Stuck every state passes (starting,
    // restoring, teleporting, taking or deleting a snapshot).
    return state < VboxStateNumber(VmStateRunning) ? MachineOff : MachineComingUp;
}

// Which conditions take which method. VirtualBox refuses the others, and a
// button pressed into a machine that is not running reaches no guest.
static int TakesMethod(enum MachineCondition condition, enum StopMethod method)
{
    switch (condition) {
    case MachineUnknown:
    case MachineRunning:
        return 1;
    case MachinePaused:
        return method == StopMethodPowerOff || method == StopMethodSaveState;
    case MachineStuck:
        return method == StopMethodPowerOff;
    default:
        return 0;
    }
}

// The machine object of the supervisor's looks, found once and asked again
// every few seconds while the machine runs: one call each time, not a lookup.
static IMachine *LookedAtMachine;

enum MachineCondition ReadVmCondition(const char *name, ULONG *sessionPid)
{
    if (LookedAtMachine == NULL && ServiceVirtualBox != NULL) {
        BSTR wideName = ToBstr(name);
        if (wideName != NULL && FAILED(CallVbox(ServiceVirtualBox, VirtualBoxFindMachine, wideName, &LookedAtMachine)))
            LookedAtMachine = NULL;
        SysFreeString(wideName);
    }
    if (LookedAtMachine == NULL)
        return MachineUnknown;
    ULONG state = 0;
    if (FAILED(CallVbox(LookedAtMachine, MachineGetState, &state))) {
        // Looked up again next time: the server may have been restarted.
        ForgetVmCondition();
        return MachineUnknown;
    }
    enum MachineCondition condition = ConditionOfState(state);
    if (sessionPid != NULL && condition == MachineRunning)
        CallVbox(LookedAtMachine, MachineGetSessionPid, sessionPid);
    return condition;
}

void ForgetVmCondition(void)
{
    if (LookedAtMachine != NULL)
        LookedAtMachine->Release();
    LookedAtMachine = NULL;
}

// The machine's state is saved by the console in older generations, and by
// the session's own machine object from 5.2 on.
static HRESULT SaveMachineState(IConsole *console, ISession *session, IProgress **progress)
{
    if (VboxApi->saveStateHolder == SaveStateOnConsole)
        return CallVbox(console, ConsoleSaveState, progress);
    IMachine *sessionMachine = NULL;
    HRESULT result = CallVbox(session, SessionGetMachine, &sessionMachine);
    if (SUCCEEDED(result) && sessionMachine == NULL)
        result = E_POINTER;
    if (SUCCEEDED(result))
        result = CallVbox(sessionMachine, MachineSaveState, progress);
    if (sessionMachine != NULL)
        sessionMachine->Release();
    return result;
}

// Calls the console method for the stop method; the power-off and save-state
// calls hand back a progress object to wait on.
static HRESULT CallStopMethod(IConsole *console, ISession *session, enum StopMethod method, IProgress **progress)
{
    switch (method) {
    case StopMethodSaveState:
        return SaveMachineState(console, session, progress);
    case StopMethodAcpiPowerButton:
        return CallVbox(console, ConsolePowerButton);
    case StopMethodAcpiSleepButton:
        return CallVbox(console, ConsoleSleepButton);
    default:
        return CallVbox(console, ConsolePowerDown, progress);
    }
}

// A completed wait says nothing of the operation's outcome: VirtualBox
// reports that in the progress's ResultCode.
static void AwaitOutcome(IProgress *progress, const char *name, const char *word, DWORD waitMs, struct StepResult *step)
{
    LONG timeout = waitMs == INFINITE ? -1 : (waitMs > (DWORD)LONG_MAX ? LONG_MAX : (LONG)waitMs);
    HRESULT result = CallVbox(progress, ProgressWaitForCompletion, timeout);
    ULONG completed = TRUE;
    if (SUCCEEDED(result) && SUCCEEDED(CallVbox(progress, ProgressGetCompleted, &completed)) && !completed) {
        step->outcome = StepUnfinished;
        return;
    }
    if (SUCCEEDED(result)) {
        LONG code = S_OK;
        HRESULT asked = CallVbox(progress, ProgressGetResultCode, (ULONG *)&code);
        // An outcome that cannot be read is no success.
        result = FAILED(asked) ? asked : (HRESULT)code;
    }
    if (FAILED(result)) {
        WriteLog(1, "ERROR stopping (%s) VM '%s' (0x%08x)", word, name, (unsigned)result);
        step->error = result;
    }
    step->outcome = FAILED(step->error) ? StepRefused : StepCarriedOut;
}

static void StopThroughConsole(IConsole *console, const char *name, const char *word, enum StopMethod method,
                               DWORD waitMs, struct StepResult *step)
{
    if (method == StopMethodAcpiPowerButton || method == StopMethodAcpiSleepButton) {
        // A guest that has not switched ACPI on would never hear the button.
        ULONG entered = TRUE;
        if (SUCCEEDED(CallVbox(console, ConsoleGetGuestEnteredAcpiMode, &entered)) && !entered) {
            step->outcome = StepNoAcpi;
            return;
        }
    }
    IProgress *progress = NULL;
    HRESULT result = CallStopMethod(console, ServiceSession, method, &progress);
    step->accepted = SUCCEEDED(result);
    if (FAILED(result)) {
        WriteLog(1, "ERROR stopping VM '%s' (0x%08x)", name, (unsigned)result);
        step->error = result;
    }
    if (progress != NULL) {
        AwaitOutcome(progress, name, word, waitMs, step);
        progress->Release();
        return;
    }
    if (FAILED(result)) {
        step->outcome = StepRefused;
        return;
    }
    WriteLog(2, "VM '%s' was sent a stop signal (%s)", name, word);
    step->outcome = StepSignalled;
}

// A server that has gone takes no fallback either.
static void NoteServerGone(struct StepResult *step)
{
    if ((step->outcome == StepRefused || step->outcome == StepUnreachable) && IsServerGone(step->error))
        step->outcome = StepUnreachable;
}

void StopVmWith(const char *name, const char *word, enum StopMethod method, DWORD waitMs, struct StepResult *step)
{
    ZeroMemory(step, sizeof(*step));
    step->outcome = StepUnreachable;
    step->condition = MachineUnknown;
    IMachine *machine = NULL;
    HRESULT result = S_OK;
    if (!FindMachine(ServiceVirtualBox, name, &machine, &result)) {
        step->error = result;
        return;
    }
    ULONG state = 0;
    if (SUCCEEDED(CallVbox(machine, MachineGetState, &state)))
        step->condition = ConditionOfState(state);
    if (!TakesMethod(step->condition, method)) {
        step->outcome = StepWrongState;
        machine->Release();
        return;
    }
    BSTR uuid = NULL;
    result = CallVbox(machine, MachineGetId, &uuid);
    if (FAILED(result)) {
        WriteLog(1, "ERROR retrieving machine ID (0x%08x)", (unsigned)result);
    } else {
        result = ServiceSession != NULL ? CallVbox(machine, MachineLockMachine, ServiceSession, LockTypeShared) : E_POINTER;
        if (FAILED(result)) {
            WriteLog(1, "ERROR opening session (0x%08x)", (unsigned)result);
        } else {
            IConsole *console = NULL;
            result = CallVbox(ServiceSession, SessionGetConsole, &console);
            if (FAILED(result) || console == NULL) {
                result = FAILED(result) ? result : E_POINTER;
                WriteLog(1, "ERROR getting console (0x%08x)", (unsigned)result);
            } else {
                StopThroughConsole(console, name, word, method, waitMs, step);
                console->Release();
            }
            // Also after a failed get_Console: the shared lock must not outlive this step.
            CallVbox(ServiceSession, SessionUnlockMachine);
        }
        SysFreeString(uuid);
    }
    if (step->outcome == StepUnreachable)
        step->error = result;
    NoteServerGone(step);
    machine->Release();
}

// The one-off method is used exactly once, whatever happens next. A key that
// stays (an INI file the service may not write) would make it permanent
// without a word: it is read back, and said so.
void RemoveShutdownOnceCommand(void)
{
    const char *ini = ServiceSettings.IniPath;
    DWORD error = 0;
    if (!WritePrivateProfileStringA(SETTINGS_SECTION, "ShutdownOnceCommand", NULL, ini))
        error = GetLastError();
    char left[64];
    GetPrivateProfileStringA(SETTINGS_SECTION, "ShutdownOnceCommand", "", left, sizeof(left), ini);
    if (left[0] != '\0')
        WriteLog(1, "ERROR removing ShutdownOnceCommand from '%s' (0x%08x); it applies to the next stop too", ini,
                 (unsigned)error);
}
