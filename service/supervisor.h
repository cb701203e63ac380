#ifndef PELORIN_SUPERVISOR_H
#define PELORIN_SUPERVISOR_H

#include <windows.h>

#include "settings.h"

// Service-specific exit codes of the final stop (reported with 1066).
const DWORD VmStartFailedExitCode = 0x80800001;
const DWORD SettingsIncompleteExitCode = 0x80800002;
// The machine ended abnormally: VBoxHeadless exited with an error, the
// machine never ran, was aborted or crashed, the wait on it failed, or a stop
// failed and the machine ended some other way.
const DWORD VmEndedAbnormallyExitCode = 0x80800003;

// Set by the control handler to ask for the machine's stop.
extern HANDLE StopEvent;
// Set when the machine's process has ended; the supervisor waits for it.
extern HANDLE VmExitedEvent;

// Creates both auto-reset events; 1 on success, else 0 (logged).
int CreateSupervisorEvents(void);

// Starts (or adopts) the machine, reports the service running once it runs,
// carries out stop requests and reports the service stopped when the
// machine has ended. Its VirtualBox calls are made on a thread of their own.
void __cdecl SupervisorThread(void *unused);
// After the final report: waits at most timeoutMs for the supervisor to let
// VirtualBox's objects go: a process that ends while a thread is inside COM
// can hang in its own end (here one outlived its report by more than 10 s,
// once in 550 stops), and a server that hangs must not keep it for long. At
// once when no supervisor ran.
void WaitForSupervisorToLetGo(DWORD timeoutMs);

// The one-shot wait callback that StartVm registers on the machine's process.
void CALLBACK OnVmProcessExit(void *context, BOOLEAN timedOut);

#endif
