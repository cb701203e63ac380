#ifndef PELORIN_STOP_SEQUENCE_H
#define PELORIN_STOP_SEQUENCE_H

// The machine's stop as one sequence: the configured method, the wait for
// the guest after an ACPI press, the fallback, a second stop control, the
// last resort, and how the machine's end is told. It decides and logs its
// decisions; the supervisor carries out what it asks for (the VirtualBox
// steps, the waits, the end of the process) and tells it what came of them.
// Nothing here calls VirtualBox or waits.

#include <windows.h>

#include "settings.h"

// What a machine is doing, as far as its stop is concerned.
enum MachineCondition {
    MachineUnknown,     // VirtualBox could not be asked
    MachinePoweredOff,
    MachineSaved,
    MachineAborted,     // it ended without being stopped (AbortedSaved too)
    MachineOff,         // any other state in which nothing runs
    MachineRunning,
    MachinePaused,
    MachineStuck,       // the guest crashed (Guru Meditation)
    MachineComingUp,    // starting, restoring, snapshotting: a state that passes
    MachineStopping,    // powering off
    MachineSaving
};

// How one VirtualBox step of a stop went.
enum StepOutcome {
    StepCarriedOut,     // the power-off or the save has completed
    StepSignalled,      // the button was pressed
    StepRefused,        // VirtualBox refused the call, or the operation failed
    StepUnreachable,    // the machine, its lock or its console could not be had
    StepNoAcpi,         // the guest has not switched ACPI on: it would not hear the button
    StepWrongState,     // the machine was in no state for the call (see condition)
    StepUnfinished      // VirtualBox did not finish the step within its bound
};

struct StepResult {
    enum StepOutcome outcome;
    int accepted;                        // VirtualBox took the call (its operation may fail later)
    HRESULT error;                       // of a refused or unreachable step
    enum MachineCondition condition;     // as the step found the machine
};

// What the supervisor is to do next.
enum StopAction {
    StopActionWait,        // wait for a stop control, the machine's end or StopWaitMs
    StopActionReadState,   // read the machine's condition: OnMachineCondition
    StopActionCall,        // stop by callMethod and callWord: OnStepResult
    StopActionEndProcess   // the last resort: end the machine's process
};

enum StopPhase {
    StopPhaseIdle,         // no stop was asked for
    StopPhaseBegin,        // the machine's condition decides the first step
    StopPhaseComingUp,     // the machine is still starting: wait for it
    StopPhaseGuest,        // a button was pressed: wait for the guest
    StopPhaseByItself,     // the machine saves or powers off by itself: wait for it
    StopPhaseEnd,          // nothing left to do but wait for the machine's process
    StopPhaseLastResort    // its process has been ended
};

#define STOP_CHAIN_SIZE 3

struct StopSequence {
    char name[256];
    enum StopPhase phase;
    int asked;                           // a stop control came
    int crashed;
    // What the first stop control found in the settings; later ones change none of it.
    char word[64];
    enum StopMethod method;
    char fallbackWord[64];
    enum StopMethod fallbackMethod;      // StopMethodNone: wait for ever
    DWORD shutdownTimeout;               // 0: the guest has for ever
    DWORD bound;                         // VirtualBoxTimeout: each step, and the wait for the end
    DWORD phaseBegan;
    DWORD pressedAt;
    DWORD repressAt;                     // ms after the press; 0: no second press
    int repressing;                      // the call under way presses again
    enum StopMethod chain[STOP_CHAIN_SIZE];  // the fallbacks still to come
    int chainLength;
    int fallingBack;
    unsigned tried;                      // 1 << method, for every method tried
    // The call to make.
    char callWord[64];
    enum StopMethod callMethod;
    // How the end is told: the words of the steps that may have ended it.
    char poweredOffWord[64];
    char savedWord[64];
    HRESULT failure;                     // of the last step that failed
    int succeeded;                       // a step was carried out or signalled
    int carriedOut;                      // a power-off or a save completed
};

// How the machine's process ended.
struct VmEnd {
    int exitCodeKnown;         // an adopted machine's code is not
    DWORD exitCode;
    enum MachineCondition condition;   // VirtualBox's word on the machine afterwards
    int everRunning;           // it was seen running under the service's watch
};

// Bounds of the waits in a stop. The machine's condition is read again
// this often while the stop waits.
#define STOP_POLL_COMING_UP 250
#define STOP_POLL_WAITING 1000
// How long a stop waits, at most, for a machine that is still coming up.
#define STOP_COMING_UP_BOUND 120000
// Presses farther apart than this are no forced power-off to any guest.
#define STOP_REPRESS_GAP 10000

void InitStopSequence(struct StopSequence *sequence, const char *name);
int IsStopAsked(const struct StopSequence *sequence);

// A stop control: the first begins the stop with the settings in force
// (ShutdownOnceCommand is used up here); a later one presses the power
// button again during the wait for the guest, and does nothing else.
enum StopAction OnStopControl(struct StopSequence *sequence, DWORD now);
// The machine's guest crashed while it ran: it is powered off, and its end
// is told as an abnormal one.
enum StopAction OnVmCrash(struct StopSequence *sequence, DWORD now);
enum StopAction OnMachineCondition(struct StopSequence *sequence, enum MachineCondition condition, DWORD now);
enum StopAction OnStepResult(struct StopSequence *sequence, const struct StepResult *result, DWORD now);
// A step that the machine's end overtook: what it says of how the machine
// ended is kept, and nothing more is decided.
void NoteStepResult(struct StopSequence *sequence, const struct StepResult *result);
// StopWaitMs has passed.
enum StopAction OnStopDeadline(struct StopSequence *sequence, DWORD now);
// How long the supervisor may wait before OnStopDeadline; INFINITE for no deadline.
DWORD StopWaitMs(const struct StopSequence *sequence, DWORD now);

// Logs how the machine ended and returns the service-specific exit code of
// the final report: 0 for a clean end, else VmEndedAbnormallyExitCode.
DWORD TellVmEnd(const struct StopSequence *sequence, const struct VmEnd *end);

// When the power button is pressed a second time while the guest is awaited:
// ms after the first press, 0 for never.
DWORD RepressDelay(enum StopMethod method, DWORD shutdownTimeout);

#endif
