#include "settings.h"

#include <io.h>
#include <stdio.h>
#include <string.h>

#include "install.h"
#include "log.h"
#include "replace_char.h"

// The control handler reloads the shutdown settings while the supervisor, the
// heartbeat and the pipe threads read them: values are computed aside and
// copied in under this lock, so no reader sees one half written.
static CRITICAL_SECTION SettingsLock;

static int InitializeSettingsLock(void)
{
    InitializeCriticalSection(&SettingsLock);
    return 1;
}

static int SettingsLockReady = InitializeSettingsLock();

ServiceSettingsRecord ServiceSettings = {
    "", "", "", "", 1, "", "", "", "", NORMAL_PRIORITY_CLASS, "", StopMethodNone, 0,
    DEFAULT_SHUTDOWN_TIMEOUT, DEFAULT_VIRTUALBOX_TIMEOUT, "savestate", StopMethodSaveState, 1, ""
};

struct PriorityWord {
    const char *word;
    DWORD priorityClass;
};

// Compared in this order; there is deliberately no word for the real-time class.
static const PriorityWord PriorityWords[] = {
    { "idle", IDLE_PRIORITY_CLASS },
    { "below normal", BELOW_NORMAL_PRIORITY_CLASS },
    { "normal", NORMAL_PRIORITY_CLASS },
    { "above normal", ABOVE_NORMAL_PRIORITY_CLASS },
    { "high", HIGH_PRIORITY_CLASS },
};

struct StopMethodWord {
    const char *word;
    enum StopMethod method;
};

static const StopMethodWord StopMethodWords[] = {
    { "poweroff", StopMethodPowerOff },
    { "savestate", StopMethodSaveState },
    { "acpisleepbutton", StopMethodAcpiSleepButton },
    { "acpipowerbutton", StopMethodAcpiPowerButton },
};

// Copies a path in under the lock, and only when it changes: a reload of the
// same program leaves the paths that the log and the stop use untouched.
static void PublishPath(char *field, const char *value)
{
    if (strcmp(field, value) == 0)
        return;
    EnterCriticalSection(&SettingsLock);
    strcpy(field, value);
    LeaveCriticalSection(&SettingsLock);
}

// X.exe -> X.ini / X.log: the last four characters, whatever they are, give way.
static void DeriveSiblingPath(char *target, const char *exePath, const char *extension)
{
    char path[MAX_PATH] = "";
    size_t length = strlen(exePath);
    size_t kept = length > 4 ? length - 4 : 0;
    memcpy(path, exePath, kept);
    strncat(path, extension, MAX_PATH - 1 - kept);
    PublishPath(target, path);
}

static void DeriveServiceKeyName(void)
{
    const char *slash = strrchr(ServiceSettings.ExePath, '\\');
    const char *fileName = slash ? slash + 1 : ServiceSettings.ExePath;
    size_t length = strlen(fileName);

    if (length <= 4) {
        strcpy(ServiceSettings.ServiceKeyName, "pelorin");
    } else {
        size_t kept = length - 4;
        if (kept > sizeof(ServiceSettings.ServiceKeyName) - 1)
            kept = sizeof(ServiceSettings.ServiceKeyName) - 1;
        memcpy(ServiceSettings.ServiceKeyName, fileName, kept);
        ServiceSettings.ServiceKeyName[kept] = '\0';
    }
    ReplaceChar(ServiceSettings.ServiceKeyName, ' ', '_');
}

// Reads a folder setting, accepting "/" and one trailing separator. Returns 0 when empty.
static int ReadFolderSetting(const char *key, char *value)
{
    GetPrivateProfileStringA(SETTINGS_SECTION, key, "", value, MAX_PATH, ServiceSettings.IniPath);
    if (value[0] == '\0')
        return 0;
    ReplaceChar(value, '/', '\\');
    size_t length = strlen(value);
    if (value[length - 1] == '\\')
        value[length - 1] = '\0';
    return 1;
}

static DWORD MapPriorityWord(const char *word)
{
    for (size_t i = 0; i < sizeof(PriorityWords) / sizeof(PriorityWords[0]); i++) {
        if (_stricmp(word, PriorityWords[i].word) == 0)
            return PriorityWords[i].priorityClass;
    }
    return NORMAL_PRIORITY_CLASS;
}

// A one-off method written by the tray helper wins over the configured one.
// The word is settled before it is published: a reader never sees an
// unrecognised word that is about to become "poweroff".
static void LoadShutdownSettings(void)
{
    const char *ini = ServiceSettings.IniPath;
    char command[sizeof(ServiceSettings.ShutdownCommand)];

    GetPrivateProfileStringA(SETTINGS_SECTION, "ShutdownOnceCommand", "", command, sizeof(command), ini);
    if (command[0] == '\0')
        GetPrivateProfileStringA(SETTINGS_SECTION, "ShutdownCommand", "poweroff", command, sizeof(command), ini);

    enum StopMethod method = StopMethodNone;
    for (size_t i = 0; i < sizeof(StopMethodWords) / sizeof(StopMethodWords[0]); i++) {
        if (_stricmp(command, StopMethodWords[i].word) == 0) {
            method = StopMethodWords[i].method;
            break;
        }
    }
    if (method == StopMethodNone) {
        strcpy(command, "poweroff");
        method = StopMethodPowerOff;
    }
    DWORD maxWaitTimeout = GetPrivateProfileIntA(SETTINGS_SECTION, "MaxWaitTimeout", 300000, ini);
    DWORD shutdownTimeout = GetPrivateProfileIntA(SETTINGS_SECTION, "ShutdownTimeout", DEFAULT_SHUTDOWN_TIMEOUT, ini);
    DWORD virtualBoxTimeout = GetPrivateProfileIntA(SETTINGS_SECTION, "VirtualBoxTimeout", DEFAULT_VIRTUALBOX_TIMEOUT, ini);

    // Only the two methods that end a machine whatever its guest does, or
    // none; any other word is the default, savestate.
    char fallback[sizeof(ServiceSettings.ShutdownFallbackCommand)];
    GetPrivateProfileStringA(SETTINGS_SECTION, "ShutdownFallbackCommand", "savestate", fallback, sizeof(fallback), ini);
    enum StopMethod fallbackMethod = StopMethodSaveState;
    if (_stricmp(fallback, "poweroff") == 0)
        fallbackMethod = StopMethodPowerOff;
    else if (_stricmp(fallback, "none") == 0)
        fallbackMethod = StopMethodNone;
    else if (_stricmp(fallback, "savestate") != 0)
        strcpy(fallback, "savestate");

    EnterCriticalSection(&SettingsLock);
    strcpy(ServiceSettings.ShutdownCommand, command);
    ServiceSettings.StopMethod = method;
    ServiceSettings.MaxWaitTimeout = maxWaitTimeout;
    ServiceSettings.ShutdownTimeout = shutdownTimeout;
    ServiceSettings.VirtualBoxTimeout = virtualBoxTimeout;
    strcpy(ServiceSettings.ShutdownFallbackCommand, fallback);
    ServiceSettings.FallbackMethod = fallbackMethod;
    LeaveCriticalSection(&SettingsLock);
}

void CopyShutdownSettings(char *command, size_t size, enum StopMethod *method)
{
    EnterCriticalSection(&SettingsLock);
    snprintf(command, size, "%s", ServiceSettings.ShutdownCommand);
    *method = ServiceSettings.StopMethod;
    LeaveCriticalSection(&SettingsLock);
}

void CopyFallbackSettings(char *command, size_t size, enum StopMethod *method, DWORD *timeout)
{
    EnterCriticalSection(&SettingsLock);
    snprintf(command, size, "%s", ServiceSettings.ShutdownFallbackCommand);
    *method = ServiceSettings.FallbackMethod;
    *timeout = ServiceSettings.ShutdownTimeout;
    LeaveCriticalSection(&SettingsLock);
}

// "full" (or none given) lets the tray switch the start type; "control" does
// not. A word that is neither gets the narrower rights: a typing error must
// not open the service wider than asked. Read by -i alone, which applies it:
// a service's start says nothing of it.
DWORD ReadInteractiveAccess(void)
{
    char rights[64];
    GetPrivateProfileStringA(SETTINGS_SECTION, "UserRights", "", rights, sizeof(rights), ServiceSettings.IniPath);
    if (rights[0] == '\0' || _stricmp(rights, "full") == 0)
        return INTERACTIVE_SERVICE_ACCESS;
    if (_stricmp(rights, "control") != 0)
        WriteLog(1, "ERROR: UserRights '%s' is neither full nor control; interactive users get control rights", rights);
    return INTERACTIVE_CONTROL_ACCESS;
}

// Set while the start-up load of the service's process runs: ServiceMain
// loads again and reports what is missing, once.
static int QuietLoad;

int LoadSettingsQuietly(void)
{
    QuietLoad = 1;
    int complete = LoadSettings(1);
    QuietLoad = 0;
    return complete;
}

int LoadSettings(int fullLoad)
{
    // A reload serves the program already loaded; its paths stay as they are.
    if (!fullLoad && ServiceSettings.ExePath[0] != '\0')
        return LoadSettingsForProgram(ServiceSettings.ExePath, 0);

    char exePath[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, exePath, sizeof(exePath));
    if (length == 0 || length >= sizeof(exePath))
        exePath[length == 0 ? 0 : sizeof(exePath) - 1] = '\0';
    return LoadSettingsForProgram(exePath, fullLoad);
}

int LoadSettingsForProgram(const char *exePath, int fullLoad)
{
    ServiceSettingsRecord &settings = ServiceSettings;

    if (exePath != settings.ExePath) {
        char path[MAX_PATH];
        snprintf(path, sizeof(path), "%s", exePath);
        PublishPath(settings.ExePath, path);
    }
    DeriveSiblingPath(settings.IniPath, settings.ExePath, ".ini");
    DeriveSiblingPath(settings.LogPath, settings.ExePath, ".log");

    if (_access(settings.IniPath, 0) == -1) {
        if (!QuietLoad)
            WriteLog(1, "Configuration file '%s' does not exist", settings.IniPath);
        return 0;
    }

    settings.Loglevel = (signed char)(GetPrivateProfileIntA(SETTINGS_SECTION, "Loglevel", 1, settings.IniPath) & 0xFF);

    if (fullLoad) {
        DeriveServiceKeyName();
        // Every missing key is named at once, so that one edit mends them all;
        // after the first one the record keeps its values, as it always has.
        char unused[MAX_PATH];
        int complete = ReadFolderSetting("VboxInstallPath", settings.VboxInstallPath);
        if (!complete && !QuietLoad)
            WriteLog(1, "ERROR: VboxInstallPath not configured");
        if (!ReadFolderSetting("VboxUserHome", complete ? settings.VboxUserHome : unused)) {
            if (!QuietLoad)
                WriteLog(1, "ERROR: VboxUserHome not configured");
            complete = 0;
        }
        char *vmName = complete ? settings.VmName : unused;
        GetPrivateProfileStringA(SETTINGS_SECTION, "VmName", "", vmName, 255, settings.IniPath);
        if (vmName[0] == '\0') {
            if (!QuietLoad)
                WriteLog(1, "ERROR: No VmName configured");
            complete = 0;
        }
        if (!complete)
            return 0;
        GetPrivateProfileStringA(SETTINGS_SECTION, "ServiceName", "", settings.DisplayName, 255, settings.IniPath);

        char priority[64];
        GetPrivateProfileStringA(SETTINGS_SECTION, "Priority", "", priority, sizeof(priority), settings.IniPath);
        settings.PriorityClass = MapPriorityWord(priority);
        settings.RestartOnFailure = GetPrivateProfileIntA(SETTINGS_SECTION, "RestartOnFailure", 1, settings.IniPath) != 0;
        GetPrivateProfileStringA(SETTINGS_SECTION, "ServiceAccount", "", settings.ServiceAccount, 255, settings.IniPath);
    }

    LoadShutdownSettings();
    return 1;
}
