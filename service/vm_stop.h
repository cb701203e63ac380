#ifndef PELORIN_VM_STOP_H
#define PELORIN_VM_STOP_H

#include <windows.h>

#include "settings.h"

// The result of waiting for a power-off or save-state to complete; negative
// means it failed. Untouched by the ACPI methods, which give nothing to wait for.
extern HRESULT StopResult;

enum StopOutcome {
    StopCarriedOut,   // the power-off or save-state completed
    StopSignalled,    // the ACPI button was pressed; the guest is to react
    StopRefused,      // VirtualBox refused the method's call, or its progress failed
    StopUnreachable   // the machine, its lock or its console could not be had
};

// One stop of the machine: the method used and how it went (error: the
// failure's code, S_OK when it was carried out or signalled).
struct StopAttempt {
    char word[64];
    enum StopMethod method;
    enum StopOutcome outcome;
    HRESULT error;
};

// Deletes the one-off stop method from the INI file, then stops the machine by
// the configured method. The machine's end shows later, through VmExitedEvent.
enum StopOutcome StopVm(const char *name, struct StopAttempt *attempt = NULL);
// A stop that found the machine's process gone while it came up: nothing is
// stopped, but the one-off method is used up and the method in effect recorded.
void RecordStopOfGoneVm(struct StopAttempt *attempt);
// Stops the machine by the given method, without the one-off key and the
// "Stopping" line: the fallback and a second press of the button.
enum StopOutcome StopVmWith(const char *name, const char *word, enum StopMethod method,
                            struct StopAttempt *attempt = NULL);

#endif
