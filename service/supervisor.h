#ifndef PELORIN_SUPERVISOR_H
#define PELORIN_SUPERVISOR_H

#include <windows.h>

// Set when the machine's process has ended; the supervisor waits for it.
extern HANDLE VmExitedEvent;

// The one-shot wait callback that StartVm registers on the machine's process.
void CALLBACK OnVmProcessExit(void *context, BOOLEAN timedOut);

#endif
