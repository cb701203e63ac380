#ifndef PELORIN_VM_START_H
#define PELORIN_VM_START_H

#include <windows.h>

// VBoxHeadless as started by StartVm; all zero when a running machine was adopted.
extern PROCESS_INFORMATION VmProcess;
// The wait on the machine's process; the supervisor unregisters it.
extern HANDLE VmExitWait;
// The process handle of an adopted machine, kept open for the wait.
extern HANDLE AdoptedVmProcess;

// Brings the machine up: starts VBoxHeadless, or adopts the machine when
// VirtualBox already runs it. Returns 1 only when a wait on the machine's
// process is registered (OnVmProcessExit will fire); 0 otherwise, logged.
int StartVm(const char *name);

// A stop that arrives while the machine is still coming up (VBoxHeadless has
// not yet taken its session, or it is starting or restoring) would fail:
// waits, within a bound, until the machine is up or its process has ended.
// 0 when the machine's process has ended meanwhile (nothing to stop), else 1.
int WaitForVmStarted(const char *name);

#endif
