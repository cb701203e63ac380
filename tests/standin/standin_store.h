#ifndef PELORIN_STANDIN_STORE_H
#define PELORIN_STANDIN_STORE_H

// The stand-in's catalogue in the registry, shared by every process of the
// stand-in: the server, the session DLL, VBoxHeadless and the test side.
// Layout under HKEY_LOCAL_MACHINE\STANDIN_KEY:
//   Version, HomeFolder                 REG_SZ, server-wide (absent: defaults)
//   IdleTimeoutMs                       REG_DWORD, how long an activated server
//                                       stays up without objects (default 10000)
//   Generation                          REG_SZ, the VirtualBox API generation
//                                       served: "4.0" (default) ... "7.2", "none"
//   Machines\<name>                     Name, Uuid (REG_SZ); State, SessionPid,
//                                       VrdeEnabled, VrdePort, Width, Height,
//                                       BitsPerPixel, SleepStates (REG_DWORD)
//   Faults            "<Interface::method>" = REG_DWORD HRESULT
//   Delays            "PowerDown" | "SaveState" | "PowerButton" | "SleepButton"
//                     = REG_DWORD milliseconds (0xFFFFFFFF: never)
//   Headless\<name>   Behaviour (REG_SZ), ExitCode (REG_DWORD)
//   Guests            "<name>" = REG_SZ how the machine's guest answers
//   Outcomes          "<Interface::method>" = REG_DWORD the ResultCode of the
//                     progress that the method hands out
//   Mismatch          "<Interface>" = REG_SZ the identifier that interface's
//                     objects answer instead of their generation's (a later
//                     release that changed that interface)

#include <windows.h>

#include "standin_client.h"

#define STANDIN_KEY "Software\\Pelorin\\VirtualBox Standin"
#define STANDIN_DEFAULT_VERSION "7.0.0"
#define STANDIN_DEFAULT_HOME_FOLDER "C:\\Users\\vbox\\.VirtualBox"
#define STANDIN_DEFAULT_IDLE_TIMEOUT_MS 10000

// Results of the stand-in's own refusals (VirtualBox's numbering).
#define STANDIN_E_OBJECT_NOT_FOUND ((HRESULT)0x80BB0001L)
#define STANDIN_E_INVALID_VM_STATE ((HRESULT)0x80BB0002L)
#define STANDIN_E_INVALID_OBJECT_STATE ((HRESULT)0x80BB0007L)

int ReadStandinMachine(const char *name, StandinMachine *machine);
int WriteStandinMachine(const StandinMachine *machine);
// Looks a machine up by its UUID (without regard to case); fills its name.
int FindStandinMachineByUuid(const char *uuid, char *name, size_t nameSize);
// Changes state and session pid of a machine that is still catalogued.
int UpdateStandinMachineRun(const char *name, long state, unsigned long sessionPid);

int IsStandinFaultName(const char *method);
// The HRESULT that the method is to fail with, S_OK when none.
HRESULT ReadStandinFault(const char *method);
int WriteStandinFault(const char *method, long hresult);

int IsStandinDelayName(const char *operation);
long ReadStandinDelay(const char *operation);   // 0 when not set
int WriteStandinDelay(const char *operation, long ms);

int IsStandinOutcomeName(const char *method);
// The ResultCode that the method's progress is to complete with, S_OK when none.
HRESULT ReadStandinOutcome(const char *method);
int WriteStandinOutcome(const char *method, long hresult);

// "normal" when none is set.
void ReadStandinGuest(const char *machineName, char *behaviour, size_t size);
int WriteStandinGuest(const char *machineName, const char *behaviour);

int ReadStandinBehaviour(const char *machineName, char *behaviour, size_t behaviourSize, unsigned long *exitCode);
int WriteStandinBehaviour(const char *machineName, const char *behaviour, unsigned long exitCode);

void ReadStandinServerInfo(char *version, size_t versionSize, char *homeFolder, size_t homeFolderSize);
int WriteStandinServerInfo(const char *version, const char *homeFolder);

// The chosen generation's word; the default when none is set.
void ReadStandinGenerationName(char *name, size_t size);
// Refuses a word that names no generation (see standin_generation.h).
int WriteStandinGeneration(const char *name);

// The names of the interfaces that Mismatch may name (those whose objects
// VirtualBox hands out): IMachine, IConsole, IProgress, IDisplay, IVRDEServer, IVRDEServerInfo.
int IsStandinMismatchName(const char *interfaceName);
// 1 when the interface's objects answer *other instead of their generation's identifier.
int ReadStandinMismatch(const char *interfaceName, GUID *other);
// other NULL: the interface answers its generation's identifier again.
int WriteStandinMismatch(const char *interfaceName, const GUID *other);

unsigned long ReadStandinIdleTimeout(void);
int WriteStandinIdleTimeout(unsigned long ms);

// Empties the catalogue and the journal.
int ClearStandinStore(void);

#endif
