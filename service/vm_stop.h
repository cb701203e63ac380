#ifndef PELORIN_VM_STOP_H
#define PELORIN_VM_STOP_H

#include <windows.h>

// The result of waiting for a power-off or save-state to complete; negative
// means it failed. Untouched by the ACPI methods, which give nothing to wait for.
extern HRESULT StopResult;

// Deletes the one-off stop method from the INI file, then stops the machine by
// the configured method. The machine's end shows later, through VmExitedEvent.
void StopVm(const char *name);

#endif
