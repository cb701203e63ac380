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
    // How long an ACPI press may take to end the machine before the fallback
    // stops it; 0 waits for ever.
    DWORD ShutdownTimeout;
    // How long VirtualBox has for each step of a stop, and a stopped machine's
    // process for its end, before the service ends that process; 0: no limit.
    DWORD VirtualBoxTimeout;
    // The fallback's word and method; StopMethodNone for "none".
    char ShutdownFallbackCommand[64];
    enum StopMethod FallbackMethod;
    // -i sets the service's recovery actions unless this is 0.
    int RestartOnFailure;
    // The account that -i installs the service under; empty or LocalSystem
    // for LocalSystem.
    char ServiceAccount[256];
};

// Two minutes for the guest, and three of the five minutes of pre-shutdown
// that -i asks Windows for left for the fallback's save.
#define DEFAULT_SHUTDOWN_TIMEOUT 120000
// A save of a large machine on a slow disk takes minutes; a VirtualBox that
// has not finished in five has hung.
#define DEFAULT_VIRTUALBOX_TIMEOUT 300000

extern ServiceSettingsRecord ServiceSettings;

// fullLoad 1 reads everything; 0 re-reads only Loglevel and the shutdown
// settings. Returns 1 when the file exists and, for a full load, names
// VboxInstallPath, VboxUserHome and VmName; otherwise 0, with the reason logged.
int LoadSettings(int fullLoad);
// LoadSettings(1) that logs nothing: for a load whose failures a later load
// of the same process reports.
int LoadSettingsQuietly(void);

// The stop method in force and its word, as one consistent pair.
void CopyShutdownSettings(char *command, size_t size, enum StopMethod *method);
// The fallback in force: its word, its method (StopMethodNone: none) and ShutdownTimeout.
void CopyFallbackSettings(char *command, size_t size, enum StopMethod *method, DWORD *timeout);

// The rights that -i gives interactive users, from UserRights; a word that
// is neither full nor control is logged and gives control.
DWORD ReadInteractiveAccess(void);

// LoadSettings for a given program path instead of the running program's own.
int LoadSettingsForProgram(const char *exePath, int fullLoad);

#endif
