#include "stop_sequence.h"

#include <stdio.h>
#include <string.h>

#include "log.h"
#include "supervisor.h"
#include "vm_stop.h"

static const char *const PowerButtonWord = "acpipowerbutton";
static const char *const PowerOffWord = "poweroff";
static const char *const SaveStateWord = "savestate";

static unsigned MethodBit(enum StopMethod method)
{
    return 1u << (unsigned)method;
}

static void CopyWord(char *target, const char *word)
{
    snprintf(target, 64, "%s", word);
}

static void EnterPhase(struct StopSequence *sequence, enum StopPhase phase, DWORD now)
{
    sequence->phase = phase;
    sequence->phaseBegan = now;
}

void InitStopSequence(struct StopSequence *sequence, const char *name)
{
    ZeroMemory(sequence, sizeof(*sequence));
    snprintf(sequence->name, sizeof(sequence->name), "%s", name);
}

int IsStopAsked(const struct StopSequence *sequence)
{
    return sequence->asked;
}

DWORD RepressDelay(enum StopMethod method, DWORD shutdownTimeout)
{
    // A guest still booting missed the first press of the power button: it is
    // pressed once more, half way. The sleep button is never pressed again: a
    // second press would wake a guest that has gone to sleep.
    if (method != StopMethodAcpiPowerButton || shutdownTimeout / 2 < STOP_REPRESS_GAP)
        return 0;
    return shutdownTimeout / 2;
}

static enum StopAction Call(struct StopSequence *sequence, enum StopMethod method, const char *word)
{
    sequence->callMethod = method;
    CopyWord(sequence->callWord, word);
    sequence->tried |= MethodBit(method);
    return StopActionCall;
}

// Nothing left to try: the machine's process is waited for, within the bound
// (IsEndBounded).
static enum StopAction WaitForTheEnd(struct StopSequence *sequence, DWORD now)
{
    EnterPhase(sequence, StopPhaseEnd, now);
    return StopActionWait;
}

// Unless the administrator chose to wait for ever (ShutdownFallbackCommand=none)
// for a stop that VirtualBox has not carried out.
static int IsEndBounded(const struct StopSequence *sequence)
{
    return sequence->bound != 0 && (sequence->fallbackMethod != StopMethodNone || sequence->carriedOut);
}

// The fallbacks, each once: the configured one, unless that is the method
// that has just failed; then the power button, and after the guest's time a
// power-off, leaving out what this stop has tried. 0 when none is left.
static int TakeFallback(struct StopSequence *sequence, enum StopMethod *method, char *word)
{
    if (!sequence->fallingBack) {
        sequence->fallingBack = 1;
        sequence->chainLength = 0;
        if (sequence->fallbackMethod == StopMethodNone) {
            // No fallback at all.
        } else if (!(sequence->tried & MethodBit(sequence->fallbackMethod))) {
            sequence->chain[sequence->chainLength++] = sequence->fallbackMethod;
        } else {
            const enum StopMethod instead[] = { StopMethodAcpiPowerButton, StopMethodPowerOff };
            for (enum StopMethod candidate : instead) {
                if (!(sequence->tried & MethodBit(candidate)))
                    sequence->chain[sequence->chainLength++] = candidate;
            }
        }
    }
    if (sequence->chainLength == 0)
        return 0;
    *method = sequence->chain[0];
    memmove(sequence->chain, sequence->chain + 1, sizeof(sequence->chain[0]) * (STOP_CHAIN_SIZE - 1));
    sequence->chainLength--;
    if (*method == sequence->fallbackMethod && !(sequence->tried & MethodBit(*method)))
        CopyWord(word, sequence->fallbackWord);
    else
        CopyWord(word, *method == StopMethodAcpiPowerButton ? PowerButtonWord : PowerOffWord);
    return 1;
}

enum FallbackReason {
    FallbackRefused,
    FallbackTimedOut,
    FallbackNoAcpi,
    FallbackPaused
};

static enum StopAction FallBack(struct StopSequence *sequence, enum FallbackReason reason, DWORD now)
{
    enum StopMethod next;
    char word[64];
    if (!TakeFallback(sequence, &next, word))
        return WaitForTheEnd(sequence, now);
    const char *name = sequence->name;
    switch (reason) {
    case FallbackRefused:
        WriteLog(2, "VM '%s' refused the stop (%s); stopping it (%s)", name, sequence->callWord, word);
        break;
    case FallbackTimedOut:
        WriteLog(2, "VM '%s' did not stop within %u ms; stopping it (%s)", name, (unsigned)sequence->shutdownTimeout,
                 word);
        break;
    case FallbackNoAcpi:
        WriteLog(2, "VM '%s' has not entered ACPI mode; stopping it (%s)", name, word);
        break;
    case FallbackPaused:
        WriteLog(2, "VM '%s' is paused; stopping it (%s)", name, word);
        break;
    }
    return Call(sequence, next, word);
}

static enum StopAction EndTheProcess(struct StopSequence *sequence, DWORD now)
{
    WriteLog(1, "ERROR: VirtualBox did not finish stopping VM '%s' within %u ms; ending its process", sequence->name,
             (unsigned)sequence->bound);
    EnterPhase(sequence, StopPhaseLastResort, now);
    return StopActionEndProcess;
}

enum StopAction OnVmCrash(struct StopSequence *sequence, DWORD now)
{
    if (sequence->crashed || sequence->phase == StopPhaseLastResort)
        return StopActionWait;
    WriteLog(1, "ERROR: VM '%s' has crashed (Guru Meditation); powering it off", sequence->name);
    sequence->crashed = 1;
    if (sequence->phase == StopPhaseIdle) {
        // The crash's own stop: bounded like any other.
        CopyShutdownSettings(sequence->word, sizeof(sequence->word), &sequence->method);
        CopyFallbackSettings(sequence->fallbackWord, sizeof(sequence->fallbackWord), &sequence->fallbackMethod,
                             &sequence->shutdownTimeout);
        sequence->bound = ServiceSettings.VirtualBoxTimeout;
    }
    // Only a power-off ends a stuck machine; nothing falls back from it.
    sequence->fallingBack = 1;
    sequence->chainLength = 0;
    EnterPhase(sequence, StopPhaseBegin, now);
    return Call(sequence, StopMethodPowerOff, PowerOffWord);
}

// The machine's condition before the first step, or after it was awaited.
static enum StopAction Decide(struct StopSequence *sequence, enum MachineCondition condition, DWORD now)
{
    switch (condition) {
    case MachinePoweredOff:
    case MachineSaved:
    case MachineAborted:
    case MachineOff:
        // Down already: its process ends by itself.
        return WaitForTheEnd(sequence, now);
    case MachineStuck:
        return OnVmCrash(sequence, now);
    case MachineComingUp:
        if (sequence->phase != StopPhaseComingUp) {
            WriteLog(3, "VM '%s' is still starting; the stop waits for it", sequence->name);
            EnterPhase(sequence, StopPhaseComingUp, now);
        }
        if (now - sequence->phaseBegan < STOP_COMING_UP_BOUND)
            return StopActionWait;
        // Waited long enough: the method is tried whatever the state, and VirtualBox decides.
        break;
    case MachineStopping:
    case MachineSaving: {
        // Going down after a step of this stop (or left so by a save of this
        // stop that failed): its end follows, or the last resort.
        enum StopMethod ours = condition == MachineSaving ? StopMethodSaveState : StopMethodPowerOff;
        if (sequence->succeeded || (sequence->tried & MethodBit(ours)))
            return WaitForTheEnd(sequence, now);
        // Windows' end of the session, or somebody else, stops it already.
        const char *how = condition == MachineSaving ? SaveStateWord : PowerOffWord;
        WriteLog(2, "VM '%s' is already stopping (%s); the stop waits for it", sequence->name, how);
        CopyWord(condition == MachineSaving ? sequence->savedWord : sequence->poweredOffWord, how);
        EnterPhase(sequence, StopPhaseByItself, now);
        return StopActionWait;
    }
    case MachinePaused:
        if (sequence->method == StopMethodAcpiPowerButton || sequence->method == StopMethodAcpiSleepButton) {
            sequence->tried |= MethodBit(sequence->method);
            CopyWord(sequence->callWord, sequence->word);
            return FallBack(sequence, FallbackPaused, now);
        }
        break;
    case MachineUnknown:
    case MachineRunning:
        break;
    }
    EnterPhase(sequence, StopPhaseBegin, now);
    return Call(sequence, sequence->method, sequence->word);
}

enum StopAction OnStopControl(struct StopSequence *sequence, DWORD now)
{
    if (!sequence->asked && sequence->phase == StopPhaseIdle) {
        sequence->asked = 1;
        // One snapshot, so that the method used and the word logged agree even
        // if another stop control reloads the settings meanwhile.
        CopyShutdownSettings(sequence->word, sizeof(sequence->word), &sequence->method);
        CopyFallbackSettings(sequence->fallbackWord, sizeof(sequence->fallbackWord), &sequence->fallbackMethod,
                             &sequence->shutdownTimeout);
        sequence->bound = ServiceSettings.VirtualBoxTimeout;
        WriteLog(2, "Stopping (%s) VM '%s'", sequence->word, sequence->name);
        RemoveShutdownOnceCommand();
        EnterPhase(sequence, StopPhaseBegin, now);
        return StopActionReadState;
    }
    sequence->asked = 1;
    // A second control (Windows' pre-shutdown after a user's stop) presses the
    // power button again for a guest that may have missed it; it neither moves
    // the deadline nor changes what decides how the end is told.
    if (sequence->phase == StopPhaseGuest && sequence->callMethod == StopMethodAcpiPowerButton) {
        sequence->repressing = 1;
        return StopActionCall;
    }
    return StopActionWait;
}

enum StopAction OnMachineCondition(struct StopSequence *sequence, enum MachineCondition condition, DWORD now)
{
    switch (sequence->phase) {
    case StopPhaseBegin:
    case StopPhaseComingUp:
        return Decide(sequence, condition, now);
    case StopPhaseGuest:
        if (condition == MachineStuck)
            return OnVmCrash(sequence, now);
        // Asleep, or paused by someone: no button reaches it now.
        if (condition == MachinePaused)
            return FallBack(sequence, FallbackPaused, now);
        return StopActionWait;
    case StopPhaseByItself:
        if (condition == MachineStuck)
            return OnVmCrash(sequence, now);
        // A save by itself that failed leaves the machine running: the stop's own method follows.
        if (condition == MachineRunning || condition == MachinePaused) {
            EnterPhase(sequence, StopPhaseBegin, now);
            return Decide(sequence, condition, now);
        }
        return StopActionWait;
    default:
        return StopActionWait;
    }
}

// Records what a step may have ended the machine with.
void NoteStepResult(struct StopSequence *sequence, const struct StepResult *result)
{
    if (sequence->repressing) {
        sequence->repressing = 0;
        return;
    }
    int accepted = result->outcome == StepCarriedOut || result->outcome == StepSignalled || result->accepted;
    if (accepted)
        CopyWord(sequence->callMethod == StopMethodSaveState ? sequence->savedWord : sequence->poweredOffWord,
                 sequence->callWord);
    if (result->outcome == StepCarriedOut || result->outcome == StepSignalled)
        sequence->succeeded = 1;
    if (result->outcome == StepCarriedOut)
        sequence->carriedOut = 1;
    else if (FAILED(result->error))
        sequence->failure = result->error;
}

enum StopAction OnStepResult(struct StopSequence *sequence, const struct StepResult *result, DWORD now)
{
    if (sequence->repressing) {
        // A second press changes nothing, however it went.
        sequence->repressing = 0;
        if (result->outcome == StepUnfinished)
            return EndTheProcess(sequence, now);
        return StopActionWait;
    }
    NoteStepResult(sequence, result);
    switch (result->outcome) {
    case StepCarriedOut:
        return WaitForTheEnd(sequence, now);
    case StepSignalled:
        EnterPhase(sequence, StopPhaseGuest, now);
        sequence->pressedAt = now;
        sequence->repressAt = RepressDelay(sequence->callMethod, sequence->shutdownTimeout);
        return StopActionWait;
    case StepRefused:
        return FallBack(sequence, FallbackRefused, now);
    case StepNoAcpi:
        return FallBack(sequence, FallbackNoAcpi, now);
    case StepUnreachable:
        // What cannot reach the machine now cannot stop it another way either.
        return WaitForTheEnd(sequence, now);
    case StepWrongState:
        if (result->condition == MachinePaused)
            return FallBack(sequence, FallbackPaused, now);
        return Decide(sequence, result->condition, now);
    case StepUnfinished:
        return EndTheProcess(sequence, now);
    }
    return StopActionWait;
}

// ShutdownTimeout bounds a stop that the machine makes by itself, as it
// bounds the guest's; without it, VirtualBoxTimeout does. 0: no bound.
static DWORD ByItselfLimit(const struct StopSequence *sequence)
{
    return sequence->shutdownTimeout != 0 ? sequence->shutdownTimeout : sequence->bound;
}

enum StopAction OnStopDeadline(struct StopSequence *sequence, DWORD now)
{
    DWORD elapsed = now - sequence->phaseBegan;
    switch (sequence->phase) {
    case StopPhaseComingUp:
        return StopActionReadState;
    case StopPhaseGuest: {
        DWORD sincePress = now - sequence->pressedAt;
        if (sequence->repressAt != 0 && sincePress >= sequence->repressAt) {
            sequence->repressAt = 0;
            sequence->repressing = 1;
            return StopActionCall;
        }
        if (sequence->shutdownTimeout != 0 && sincePress >= sequence->shutdownTimeout)
            return FallBack(sequence, FallbackTimedOut, now);
        return StopActionReadState;
    }
    case StopPhaseByItself:
        if (ByItselfLimit(sequence) != 0 && elapsed >= ByItselfLimit(sequence))
            return EndTheProcess(sequence, now);
        return StopActionReadState;
    case StopPhaseEnd:
        if (IsEndBounded(sequence) && elapsed >= sequence->bound)
            return EndTheProcess(sequence, now);
        return StopActionWait;
    default:
        return StopActionWait;
    }
}

static DWORD Remaining(DWORD limit, DWORD elapsed)
{
    return elapsed >= limit ? 0 : limit - elapsed;
}

static DWORD Earlier(DWORD first, DWORD second)
{
    return first < second ? first : second;
}

DWORD StopWaitMs(const struct StopSequence *sequence, DWORD now)
{
    DWORD elapsed = now - sequence->phaseBegan;
    switch (sequence->phase) {
    case StopPhaseComingUp:
        return STOP_POLL_COMING_UP;
    case StopPhaseGuest: {
        DWORD sincePress = now - sequence->pressedAt;
        DWORD wait = STOP_POLL_WAITING;
        if (sequence->repressAt != 0)
            wait = Earlier(wait, Remaining(sequence->repressAt, sincePress));
        if (sequence->shutdownTimeout != 0)
            wait = Earlier(wait, Remaining(sequence->shutdownTimeout, sincePress));
        return wait;
    }
    case StopPhaseByItself:
        return ByItselfLimit(sequence) != 0 ? Earlier(STOP_POLL_WAITING, Remaining(ByItselfLimit(sequence), elapsed))
                                            : STOP_POLL_WAITING;
    case StopPhaseEnd:
        return IsEndBounded(sequence) ? Remaining(sequence->bound, elapsed) : INFINITE;
    default:
        return INFINITE;
    }
}

// The word of the step that left the machine so: as written, when a step of
// this stop asked for it.
static const char *EndWord(const struct StopSequence *sequence, enum MachineCondition condition)
{
    if (condition == MachineSaved)
        return sequence->savedWord[0] != '\0' ? sequence->savedWord : SaveStateWord;
    if (condition == MachinePoweredOff)
        return sequence->poweredOffWord[0] != '\0' ? sequence->poweredOffWord : PowerOffWord;
    return sequence->word;
}

DWORD TellVmEnd(const struct StopSequence *sequence, const struct VmEnd *end)
{
    const char *name = sequence->name;
    int stopping = sequence->asked;
    // VBoxHeadless exits with 0 after a failed power-up as after a clean stop:
    // its exit code tells an error, but only the machine's state a clean end.
    if (end->exitCodeKnown && end->exitCode != 0) {
        if (stopping)
            WriteLog(1, "VM '%s' was terminated abnormally while stopping (%s0x%08x)", name, "", (unsigned)end->exitCode);
        else
            WriteLog(1, "VM '%s' was terminated abnormally (%s0x%08x)", name, "", (unsigned)end->exitCode);
        return VmEndedAbnormallyExitCode;
    }
    if (sequence->crashed) {
        WriteLog(1, "VM '%s' was powered off after its guest crashed", name);
        return VmEndedAbnormallyExitCode;
    }
    if (end->condition == MachineAborted) {
        if (stopping)
            WriteLog(1, "VM '%s' was terminated abnormally while stopping (aborted)", name);
        else
            WriteLog(1, "VM '%s' was terminated abnormally (aborted)", name);
        return VmEndedAbnormallyExitCode;
    }
    if (!end->everRunning) {
        WriteLog(1, "ERROR: VM '%s' failed to power up (VBoxHeadless ended with 0x%08x)", name,
                 (unsigned)end->exitCode);
        return VmEndedAbnormallyExitCode;
    }
    if (!stopping) {
        WriteLog(2, "VM '%s' stopped by itself", name);
        return 0;
    }
    // VirtualBox could not say how it ended: a stop that failed throughout is
    // no clean one.
    if (end->condition == MachineUnknown && !sequence->succeeded && FAILED(sequence->failure)) {
        WriteLog(1, "VM '%s' was terminated abnormally while stopping (%s0x%08x)", name, "rc=",
                 (unsigned)sequence->failure);
        return VmEndedAbnormallyExitCode;
    }
    WriteLog(2, "VM '%s' stopped (%s)", name, EndWord(sequence, end->condition));
    return 0;
}
