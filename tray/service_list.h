#ifndef PELORIN_SERVICE_LIST_H
#define PELORIN_SERVICE_LIST_H

#include <windows.h>

#include "tray_state.h"

// The section of a service's INI file that the tray reads and writes.
#define SERVICE_INI_SECTION "Pelorin"

// A service's configured stop method; the codes equal the offsets of the
// matching "Stop with" commands.
enum TrayStopMethod {
    TrayStopNone = 0,
    TrayStopPowerOff = 6,
    TrayStopAcpiPowerButton = 7,
    TrayStopAcpiSleepButton = 8,
    TrayStopSaveState = 9
};

// Results of LoadServiceList and PollServices; they select the menu's form.
enum PollResult {
    PollSucceeded = 0,
    PollFailed = 1,
    PollOutOfMemory = 2,
    PollSectionNamesTooLarge = 3,
    // 4 is not used: a service that denies access says so on its own entry.
    PollManagerAccessDenied = 5
};

struct TrayEntry {
    int State;                // a TrayState
    char SectionName[128];    // the tray INI section, at most 127 characters
    char ConfigPath[MAX_PATH]; // "ConfigFile", "/" turned into "\"
    char LogPath[MAX_PATH];   // the config path ending in ".log"; empty if too short
    char VmName[256];         // "VmName", or the section name while there is none
    char ServiceName[256];    // the INI file's name without its last four characters, blanks as "_"
    int StopMethod;           // a TrayStopMethod from "ShutdownCommand"
    int Autostart;            // 1 when the service starts automatically
    int AutostartLocked;      // 1 when the last poll could not open it to change its start type
    int AccessDenied;         // 1 when the last poll was refused the service (its state is then ServiceNotFound)
    DWORD ProcessId;          // the service's process at the last poll, 0 unless it runs
};

// The program's full path, taken once; the tray INI lies beside it.
extern char TrayProgramPath[MAX_PATH];
extern char TrayIniPath[MAX_PATH];

// The watched services in the order of the tray INI. The count is -1 when
// there is no tray INI.
extern TrayEntry *TrayEntries;
extern int TrayEntryCount;

// Reads the tray INI and each listed service's INI; returns a PollResult (0 to 3).
int LoadServiceList(void);
// Asks the Service Control Manager for every service's state, process and
// start type and writes the number of running machines into the tooltip;
// returns a PollResult (0, 1 or 5).
int PollServices(void);
void FreeServiceList(void);

// The TrayState for a service whose status query succeeded or failed.
int TrayStateFromStatus(BOOL queried, DWORD currentState);

// "ShutdownCommand" words, compared without regard to case.
int TrayStopMethodFromWord(const char *word);
const char *TrayStopMethodWord(int method); // null for TrayStopNone

#endif
