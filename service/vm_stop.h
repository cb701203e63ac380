#ifndef PELORIN_VM_STOP_H
#define PELORIN_VM_STOP_H

// The VirtualBox calls of a stop, made through the supervisor's connection on
// the thread that owns it. What to call when is the stop sequence's business.

#include <windows.h>

#include "settings.h"
#include "stop_sequence.h"

// One step of a stop by the given method: the machine's state is read first,
// and a machine that cannot take the method is left alone (StepWrongState);
// a button is pressed only for a guest that has switched ACPI on; a power-off
// or a save is waited for at most waitMs, and its outcome read from VirtualBox.
void StopVmWith(const char *name, const char *word, enum StopMethod method, DWORD waitMs, struct StepResult *step);
// The machine's condition, without a word in the log (it is read again and
// again while a stop waits). The session's process id, when it is asked for
// and the machine runs.
enum MachineCondition ReadVmCondition(const char *name, ULONG *sessionPid);
// Lets the machine object of ReadVmCondition go, before the connection goes.
void ForgetVmCondition(void);
// The condition that a state number of the generation in use stands for.
enum MachineCondition ConditionOfState(ULONG state);
// Deletes the one-off stop method from the INI file, so that it applies to
// exactly one stop; a key that stays is logged.
void RemoveShutdownOnceCommand(void);

#endif
