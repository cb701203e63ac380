#include "service_list.h"

#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "command_ids.h"
#include "replace_char.h"
#include "tray_base.h"

char TrayProgramPath[MAX_PATH];
char TrayIniPath[MAX_PATH];
TrayEntry *TrayEntries;
int TrayEntryCount = -1;
static int TrayEntryCapacity;

// The section names may take up to this many bytes; beyond, the load gives up.
#define SECTION_NAMES_LIMIT 0x1000000

struct StopMethodWord {
    const char *word;
    int method;
};

static const StopMethodWord StopMethodWords[] = {
    { "poweroff", TrayStopPowerOff },
    { "acpipowerbutton", TrayStopAcpiPowerButton },
    { "acpisleepbutton", TrayStopAcpiSleepButton },
    { "savestate", TrayStopSaveState },
};

int TrayStopMethodFromWord(const char *word)
{
    for (size_t i = 0; i < sizeof(StopMethodWords) / sizeof(StopMethodWords[0]); i++) {
        if (_stricmp(word, StopMethodWords[i].word) == 0)
            return StopMethodWords[i].method;
    }
    return TrayStopNone;
}

const char *TrayStopMethodWord(int method)
{
    for (size_t i = 0; i < sizeof(StopMethodWords) / sizeof(StopMethodWords[0]); i++) {
        if (StopMethodWords[i].method == method)
            return StopMethodWords[i].word;
    }
    return NULL;
}

// Appends one zero-filled entry, reusing the array of an earlier load. The
// capacity doubles, so that long lists do not copy the array at every entry.
static TrayEntry *AddTrayEntry(void)
{
    if (TrayEntryCount >= TrayEntryCapacity) {
        int capacity = TrayEntryCapacity > 0 ? TrayEntryCapacity * 2 : 8;
        TrayEntry *grown = (TrayEntry *)realloc(TrayEntries, (size_t)capacity * sizeof(TrayEntry));
        if (grown == NULL)
            return NULL;
        TrayEntries = grown;
        TrayEntryCapacity = capacity;
    }
    TrayEntry *entry = &TrayEntries[TrayEntryCount++];
    memset(entry, 0, sizeof(*entry));
    return entry;
}

void FreeServiceList(void)
{
    free(TrayEntries);
    TrayEntries = NULL;
    TrayEntryCapacity = 0;
    TrayEntryCount = 0;
}

// The file name of the config path without its last four characters, or 0
// when the path has no folder or the name is too short to give one.
static int DeriveServiceName(TrayEntry *entry)
{
    const char *slash = strrchr(entry->ConfigPath, '\\');
    if (slash == NULL)
        return 0;
    size_t length = strlen(slash + 1);
    if (length <= 4)
        return 0;
    memcpy(entry->ServiceName, slash + 1, length - 4);
    entry->ServiceName[length - 4] = '\0';
    // The service program registers itself with its blanks turned into
    // underscores: "Web Server.exe" is the service Web_Server.
    ReplaceChar(entry->ServiceName, ' ', '_');
    return 1;
}

static void LoadTrayEntry(TrayEntry *entry, const char *section)
{
    lstrcpynA(entry->SectionName, section, sizeof(entry->SectionName));
    GetPrivateProfileStringA(section, "ConfigFile", "", entry->ConfigPath, sizeof(entry->ConfigPath) - 1, TrayIniPath);
    ReplaceChar(entry->ConfigPath, '/', '\\');

    size_t length = strlen(entry->ConfigPath);
    if (length > 4) {
        memcpy(entry->LogPath, entry->ConfigPath, length - 4);
        strcpy(entry->LogPath + length - 4, ".log");
    }
    strcpy(entry->VmName, entry->SectionName);
    entry->State = Undetermined;

    if (entry->ConfigPath[0] == '\0') {
        entry->State = NotConfigured;
        return;
    }
    // A bare file name would be looked for in the Windows folder by the profile
    // functions, and a name of four characters or fewer gives no service name:
    // neither can lead to a service.
    if (!DeriveServiceName(entry)) {
        entry->State = NotConfigured;
        return;
    }
    if (_access(entry->ConfigPath, 0) != 0) {
        entry->ServiceName[0] = '\0';
        entry->State = ConfigNotFound;
        return;
    }

    GetPrivateProfileStringA(SERVICE_INI_SECTION, "VmName", "", entry->VmName, sizeof(entry->VmName) - 1,
                             entry->ConfigPath);
    if (entry->VmName[0] == '\0') {
        entry->ServiceName[0] = '\0';
        strcpy(entry->VmName, entry->SectionName);
        entry->State = NotConfigured;
    }

    char word[64];
    GetPrivateProfileStringA(SERVICE_INI_SECTION, "ShutdownCommand", "", word, sizeof(word), entry->ConfigPath);
    entry->StopMethod = TrayStopMethodFromWord(word);
}

// Reads all section names of the tray INI into a buffer that doubles until
// they fit. Returns 0 with the buffer, 2 when memory runs out, 3 when the
// names need more than SECTION_NAMES_LIMIT bytes.
static int ReadSectionNames(char **names)
{
    DWORD size = 1024;
    char *buffer = (char *)malloc(size);
    if (buffer == NULL)
        return PollOutOfMemory;
    DWORD length = GetPrivateProfileSectionNamesA(buffer, size, TrayIniPath);
    while (length == size - 2) {
        if (size * 2 > SECTION_NAMES_LIMIT) {
            free(buffer);
            return PollSectionNamesTooLarge;
        }
        size *= 2;
        // The names are read again from the start, so nothing needs copying.
        free(buffer);
        buffer = (char *)malloc(size);
        if (buffer == NULL)
            return PollOutOfMemory;
        length = GetPrivateProfileSectionNamesA(buffer, size, TrayIniPath);
    }
    *names = buffer;
    return PollSucceeded;
}

int LoadServiceList(void)
{
    if (TrayProgramPath[0] == '\0') {
        DWORD length = GetModuleFileNameA(NULL, TrayProgramPath, sizeof(TrayProgramPath));
        if (length >= sizeof(TrayProgramPath))
            TrayProgramPath[0] = '\0';
    }
    size_t length = strlen(TrayProgramPath);
    if (length <= 4)
        return PollFailed;
    strcpy(TrayIniPath, TrayProgramPath);
    strcpy(TrayIniPath + length - 4, ".ini");
    TrayEntryCount = 0;

    if (_access(TrayIniPath, 0) != 0) {
        TrayEntryCount = -1;
        return PollFailed;
    }

    char *names = NULL;
    int result = ReadSectionNames(&names);
    if (result != PollSucceeded)
        return result;

    for (const char *name = names; *name != '\0'; name += strlen(name) + 1) {
        // Services beyond this many would get command identifiers above 16 bits.
        if (TrayEntryCount == MAX_TRAY_ENTRIES)
            break;
        TrayEntry *entry = AddTrayEntry();
        if (entry == NULL) {
            TrayEntryCount = 0;
            free(names);
            return PollOutOfMemory;
        }
        LoadTrayEntry(entry, name);
    }
    free(names);
    return PollSucceeded;
}

int TrayStateFromStatus(BOOL queried, DWORD currentState)
{
    // A service that opened but whose state cannot be read is there, in a
    // state nobody knows: its commands stay, Start and Stop stay grayed.
    if (!queried)
        return Undetermined;
    switch (currentState) {
    case SERVICE_STOPPED:
        return Stopped;
    case SERVICE_START_PENDING:
        return StartPending;
    case SERVICE_STOP_PENDING:
        return StopPending;
    case SERVICE_RUNNING:
        return Running;
    default:
        return Undetermined;
    }
}

// Leaves the flag as it was when the configuration cannot be read.
static void ReadAutostart(SC_HANDLE service, TrayEntry *entry)
{
    DWORD needed = 0;
    if (QueryServiceConfigA(service, NULL, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return;
    QUERY_SERVICE_CONFIGA *config = (QUERY_SERVICE_CONFIGA *)malloc(needed);
    if (config == NULL)
        return;
    if (QueryServiceConfigA(service, config, needed, &needed))
        entry->Autostart = config->dwStartType == SERVICE_AUTO_START ? 1 : 0;
    free(config);
}

static void SetRunningTip(void)
{
    int running = 0;
    for (int i = 0; i < TrayEntryCount; i++) {
        if (TrayEntries[i].State == Running)
            running++;
    }
    if (running == 0)
        strcpy(TrayIcon.szTip, NO_MACHINES_RUNNING_TIP);
    else
        snprintf(TrayIcon.szTip, sizeof(TrayIcon.szTip), "%d VirtualBox machine%s running", running,
                 running >= 2 ? "s" : "");
}

#define POLL_ACCESS (GENERIC_READ | SERVICE_START | SERVICE_STOP)

int PollServices(void)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT);
    if (manager == NULL)
        return GetLastError() == ERROR_ACCESS_DENIED ? PollManagerAccessDenied : PollFailed;

    for (int i = 0; i < TrayEntryCount; i++) {
        TrayEntry *entry = &TrayEntries[i];
        // These wait for the next load: their INI files have to change first.
        if (entry->State == ConfigNotFound || entry->State == NotConfigured)
            continue;
        entry->ProcessId = 0;
        // Opened with the rights that Start and Stop need, so that a user
        // without them learns it from the menu, and if it can be, with the
        // one that Autostart needs too: an administrator may have withheld it.
        SC_HANDLE service = OpenServiceA(manager, entry->ServiceName, POLL_ACCESS | SERVICE_CHANGE_CONFIG);
        entry->AutostartLocked = service == NULL && GetLastError() == ERROR_ACCESS_DENIED;
        if (entry->AutostartLocked)
            service = OpenServiceA(manager, entry->ServiceName, POLL_ACCESS);
        // A denial concerns this service only (another user's, or one whose
        // rights changed): the others keep their commands.
        entry->AccessDenied = service == NULL && GetLastError() == ERROR_ACCESS_DENIED;
        if (service == NULL) {
            entry->State = ServiceNotFound;
            continue;
        }
        // The process tells the service's own control pipe from one that
        // another program created first under the same name.
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        BOOL queried = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)&status, sizeof(status), &needed);
        entry->State = TrayStateFromStatus(queried, status.dwCurrentState);
        if (entry->State == Running)
            entry->ProcessId = status.dwProcessId;
        ReadAutostart(service, entry);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);

    SetRunningTip();
    Shell_NotifyIconA(NIM_MODIFY, &TrayIcon);
    return PollSucceeded;
}
