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

#endif
