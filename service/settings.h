#ifndef PELORIN_SETTINGS_H
#define PELORIN_SETTINGS_H

#include <windows.h>

// The INI file's one section; the tray helper writes the one-off stop method into it.
#define SETTINGS_SECTION "Pelorin"

enum StopMethod {
    StopMethodNone = 0,
    StopMethodPowerOff = 1,
    StopMethodSaveState = 2,
    StopMethodAcpiPowerButton = 3,
    StopMethodAcpiSleepButton = 4
};

// The service's one settings record. Only LoadSettings writes it. A reload
// changes only Loglevel and the shutdown settings, and publishes them whole
// under a lock; read the word and the method together with CopyShutdownSettings.
struct ServiceSettingsRecord {
    char ExePath[MAX_PATH];
    char IniPath[MAX_PATH];
    char LogPath[MAX_PATH];
    char ServiceKeyName[256];
    signed char Loglevel;
    char VboxInstallPath[MAX_PATH];
    char VboxUserHome[MAX_PATH];
    char VmName[256];
    char DisplayName[256];
    DWORD PriorityClass;
    char ShutdownCommand[64];
    enum StopMethod StopMethod;
    DWORD MaxWaitTimeout;
};

extern ServiceSettingsRecord ServiceSettings;

// fullLoad 1 reads everything; 0 re-reads only Loglevel and the shutdown
// settings. Returns 1 when the file exists and, for a full load, names
// VboxInstallPath, VboxUserHome and VmName; otherwise 0, with the reason logged.
int LoadSettings(int fullLoad);

// The stop method in force and its word, as one consistent pair.
void CopyShutdownSettings(char *command, size_t size, enum StopMethod *method);

// LoadSettings for a given program path instead of the running program's own.
int LoadSettingsForProgram(const char *exePath, int fullLoad);

#endif
