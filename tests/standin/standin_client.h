#ifndef PELORIN_STANDIN_CLIENT_H
#define PELORIN_STANDIN_CLIENT_H

// Control and observation of the VirtualBox stand-in, for test programs and
// tools. Every function returns 1 on success and 0 on failure unless it says
// otherwise. The catalogue lives in the registry, so these calls work whether
// or not the stand-in's server is running; StandinReset and
// StandinShutdownServer also talk to a running server.

#include <string>
#include <vector>

struct StandinMachine {
    char name[256];
    char uuid[64];
    long state;                 // MachineState value
    unsigned long sessionPid;
    long vrdeEnabled;
    long vrdePort;
    unsigned long width, height, bitsPerPixel;
    // 1: the machine offers its guest the sleep states S1 and S4 (VirtualBox's
    // PowerS1Enabled, PowerS4Enabled); 0, VirtualBox's default: neither.
    long sleepStates;
};

// Forgets machines, faults, outcomes, delays, behaviours, guests and the
// journal and puts the server information and the generation back to their
// defaults. A running server first ends the VBoxHeadless stand-ins attached to
// it, aborts its pending operations and gives every exclusive lock back.
int StandinReset(void);
// The VirtualBox API generation that objects created from now on serve: "4.0"
// (the default), "5.2", "6.1", "7.0", "7.1", "7.2", or "none" (a VirtualBox
// that answers no IVirtualBox identifier). Any other word is refused.
int StandinSetGeneration(const char *generation);
// NULL leaves a value at its default ("7.0.0" and "C:\VirtualBox").
int StandinSetServerInfo(const char *version, const char *homeFolder);
// Adds or replaces a machine, by name (names are compared without regard to
// case here, as registry keys are; FindMachine matches the exact name).
int StandinPutMachine(const StandinMachine *machine);
// The machine as the server sees it now: state and session pid follow the
// VBoxHeadless stand-in that runs it.
int StandinGetMachine(const char *name, StandinMachine *machine);
// Makes a method fail with the given HRESULT until cleared with 0. Names are
// "Interface::method" as in the journal, plus "VirtualBox::CreateInstance" and
// "Session::CreateInstance" for the two class factories; an unknown name is
// refused.
int StandinSetFault(const char *method, long hresult);
// "PowerDown", "SaveState": ms until the machine's process is told to end;
// "PowerButton", "SleepButton": ms until the guest reacts, -1 never;
// "FindMachine": ms that each FindMachine call takes (the server answers
// nothing else meanwhile).
int StandinSetDelay(const char *operation, long ms);
// The progress that method hands out ("IConsole::PowerDown",
// "IConsole::SaveState" of 4.0, "IMachine::SaveState" from 5.2 on) completes
// with that ResultCode, after the operation's delay; 0 clears.
int StandinSetOutcome(const char *method, long hresult);
// How the machine's guest answers: "normal" (either button shuts it down
// after the button's delay), "ignores-acpi" (ACPI on, presses ignored),
// "no-acpi" (ACPI never switched on, presses ignored), "sleeps" (the sleep
// button pauses the machine when it offers S1/S4; the power button shuts
// down), "crashes" (Guru Meditation: the machine becomes Stuck, at once if it
// runs, else as soon as it runs).
int StandinSetGuest(const char *machineName, const char *behaviour);
// The machine's VBoxHeadless "savestate"s or "poweroff"s its machine by itself
// now, as at Windows shutdown; refused when none runs it or its state forbids.
int StandinHeadlessEnds(const char *machineName, const char *how);
// A later release that changed one interface: its objects ("IMachine",
// "IConsole", "IProgress", "IDisplay", "IVRDEServer", "IVRDEServerInfo")
// answer the identifier other ("{...}") instead of their generation's; NULL
// gives them theirs back. Other names and texts that are no identifier are refused.
int StandinSetMismatch(const char *interfaceName, const char *other);
// "normal", "crash" (the process dies with exitCode right after attaching:
// the machine is Aborted), "fail" (a failed power-up: after the lock the
// machine goes back to its state and VBoxHeadless exits 0, whatever exitCode)
// or "hang" (no stop ever finishes and the process never exits by itself).
int StandinSetHeadlessBehaviour(const char *machineName, const char *behaviour, unsigned long exitCode);
// How long a server started by COM activation stays up once it has no
// objects left and nothing calls it (default 10000 ms).
int StandinSetIdleTimeout(unsigned long ms);
// The journal lines, in call order, without line ends.
int StandinReadJournal(std::vector<std::string> *entries);
// Returns when the server has ended cleanly (at once when none runs).
int StandinShutdownServer(void);
// Ends the running server cleanly and waits until the fresh copy that it
// starts answers (with its output still away from the caller's).
int StandinRestartServer(void);
// 1 when a server answers on the control pipe.
int StandinServerRunning(void);
// The process id of the server that answers, 0 when none does.
unsigned long StandinServerPid(void);
// Waits up to timeoutMs for a server to answer.
int StandinWaitForServer(unsigned long timeoutMs);
// The built VBoxHeadless.exe stand-in (beside the calling program).
std::string StandinHeadlessPath(void);

#endif
