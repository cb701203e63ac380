#include "standin_store.h"

#include <stdio.h>
#include <string.h>

#include "standin_generation.h"
#include "standin_journal.h"

namespace {

const char *const FaultNames[] = {
    "VirtualBox::CreateInstance",
    "Session::CreateInstance",
    "IVirtualBox::get_Version",
    "IVirtualBox::get_HomeFolder",
    "IVirtualBox::FindMachine",
    "IMachine::get_Id",
    "IMachine::get_VRDEServer",
    "IMachine::get_SessionPid",
    "IMachine::get_State",
    "IMachine::LockMachine",
    "IMachine::SaveState",
    "ISession::get_Machine",
    "ISession::get_Console",
    "ISession::UnlockMachine",
    "IConsole::get_Display",
    "IConsole::get_VRDEServerInfo",
    "IConsole::PowerDown",
    "IConsole::PowerButton",
    "IConsole::SleepButton",
    "IConsole::SaveState",
    "IConsole::GetGuestEnteredACPIMode",
    "IProgress::get_Completed",
    "IProgress::get_ResultCode",
    "IProgress::get_ErrorInfo",
    "IProgress::WaitForCompletion",
    "IVRDEServer::get_Enabled",
    "IVRDEServerInfo::get_Port",
    "IDisplay::GetScreenResolution",
};

const char *const DelayNames[] = { "PowerDown", "SaveState", "PowerButton", "SleepButton", "FindMachine" };

const char *const OutcomeNames[] = { "IConsole::PowerDown", "IConsole::SaveState", "IMachine::SaveState" };

const char *const GuestBehaviours[] = { "normal", "ignores-acpi", "no-acpi", "sleeps", "crashes" };

const char *const MismatchNames[] = { "IMachine", "IConsole", "IProgress", "IDisplay", "IVRDEServer", "IVRDEServerInfo" };

int IsInList(const char *name, const char *const *list, size_t count)
{
    if (name == NULL)
        return 0;
    for (size_t i = 0; i < count; i++) {
        if (strcmp(name, list[i]) == 0)
            return 1;
    }
    return 0;
}

// Machine names become registry key names, which cannot hold a backslash.
int IsUsableMachineName(const char *name)
{
    return name != NULL && name[0] != '\0' && strlen(name) < 256 && strchr(name, '\\') == NULL;
}

void ComposeSubkey(char *subkey, size_t size, const char *folder, const char *name)
{
    if (name == NULL)
        snprintf(subkey, size, "%s\\%s", STANDIN_KEY, folder);
    else
        snprintf(subkey, size, "%s\\%s\\%s", STANDIN_KEY, folder, name);
}

// Always the 64-bit registry view: the 64-bit server and VBoxHeadless, and
// the session object inside a 32-bit service or test, read one catalogue.
const REGSAM StoreView = KEY_WOW64_64KEY;

HKEY OpenStoreKey(const char *subkey, int create, REGSAM access)
{
    HKEY key = NULL;
    LONG status;
    if (create)
        status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, NULL, 0, access | StoreView, NULL, &key, NULL);
    else
        status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, access | StoreView, &key);
    return status == ERROR_SUCCESS ? key : NULL;
}

DWORD ReadDword(HKEY key, const char *value, DWORD fallback)
{
    DWORD data = 0;
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (RegQueryValueExA(key, value, NULL, &type, (BYTE *)&data, &size) != ERROR_SUCCESS || type != REG_DWORD)
        return fallback;
    return data;
}

int ReadText(HKEY key, const char *value, char *text, size_t size)
{
    DWORD length = (DWORD)size - 1;
    DWORD type = 0;
    text[0] = '\0';
    if (RegQueryValueExA(key, value, NULL, &type, (BYTE *)text, &length) != ERROR_SUCCESS || type != REG_SZ)
        return 0;
    text[length < size ? length : size - 1] = '\0';
    return 1;
}

int WriteDword(HKEY key, const char *value, DWORD data)
{
    return RegSetValueExA(key, value, 0, REG_DWORD, (const BYTE *)&data, sizeof(data)) == ERROR_SUCCESS;
}

int WriteText(HKEY key, const char *value, const char *text)
{
    return RegSetValueExA(key, value, 0, REG_SZ, (const BYTE *)text, (DWORD)strlen(text) + 1) == ERROR_SUCCESS;
}

// A server-wide text, or its default when it is not set.
void ReadServerText(const char *value, const char *fallback, char *text, size_t size)
{
    HKEY key = OpenStoreKey(STANDIN_KEY, 0, KEY_QUERY_VALUE);
    if (key == NULL || !ReadText(key, value, text, size))
        lstrcpynA(text, fallback, (int)size);
    if (key != NULL)
        RegCloseKey(key);
}

// A value of a folder of named numbers (Faults, Outcomes); fallback when absent.
DWORD ReadFolderValue(const char *folder, const char *name, DWORD fallback)
{
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), folder, NULL);
    HKEY key = OpenStoreKey(subkey, 0, KEY_QUERY_VALUE);
    if (key == NULL)
        return fallback;
    DWORD value = ReadDword(key, name, fallback);
    RegCloseKey(key);
    return value;
}

// 0 removes the value.
int WriteFolderValue(const char *folder, const char *name, DWORD value)
{
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), folder, NULL);
    HKEY key = OpenStoreKey(subkey, 1, KEY_SET_VALUE);
    if (key == NULL)
        return 0;
    int written;
    if (value == 0) {
        LONG status = RegDeleteValueA(key, name);
        written = status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
    } else {
        written = WriteDword(key, name, value);
    }
    RegCloseKey(key);
    return written;
}

}  // namespace

int ReadStandinMachine(const char *name, StandinMachine *machine)
{
    if (!IsUsableMachineName(name))
        return 0;
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), "Machines", name);
    HKEY key = OpenStoreKey(subkey, 0, KEY_QUERY_VALUE);
    if (key == NULL)
        return 0;
    ZeroMemory(machine, sizeof(*machine));
    if (!ReadText(key, "Name", machine->name, sizeof(machine->name)))
        lstrcpynA(machine->name, name, sizeof(machine->name));
    ReadText(key, "Uuid", machine->uuid, sizeof(machine->uuid));
    machine->state = (long)ReadDword(key, "State", 0);
    machine->sessionPid = ReadDword(key, "SessionPid", 0);
    machine->vrdeEnabled = (long)ReadDword(key, "VrdeEnabled", 0);
    machine->vrdePort = (long)ReadDword(key, "VrdePort", 0);
    machine->width = ReadDword(key, "Width", 0);
    machine->height = ReadDword(key, "Height", 0);
    machine->bitsPerPixel = ReadDword(key, "BitsPerPixel", 0);
    machine->sleepStates = (long)ReadDword(key, "SleepStates", 0);
    RegCloseKey(key);
    return 1;
}

int WriteStandinMachine(const StandinMachine *machine)
{
    if (machine == NULL || !IsUsableMachineName(machine->name) || memchr(machine->uuid, 0, sizeof(machine->uuid)) == NULL)
        return 0;
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), "Machines", machine->name);
    // Replacing starts from nothing, so no value of an earlier machine survives.
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, subkey, StoreView, 0);
    HKEY key = OpenStoreKey(subkey, 1, KEY_SET_VALUE);
    if (key == NULL)
        return 0;
    int written = WriteText(key, "Name", machine->name) &&
                  WriteText(key, "Uuid", machine->uuid) &&
                  WriteDword(key, "State", (DWORD)machine->state) &&
                  WriteDword(key, "SessionPid", machine->sessionPid) &&
                  WriteDword(key, "VrdeEnabled", (DWORD)machine->vrdeEnabled) &&
                  WriteDword(key, "VrdePort", (DWORD)machine->vrdePort) &&
                  WriteDword(key, "Width", machine->width) &&
                  WriteDword(key, "Height", machine->height) &&
                  WriteDword(key, "BitsPerPixel", machine->bitsPerPixel) &&
                  WriteDword(key, "SleepStates", (DWORD)machine->sleepStates);
    RegCloseKey(key);
    return written;
}

int FindStandinMachineByUuid(const char *uuid, char *name, size_t nameSize)
{
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), "Machines", NULL);
    HKEY machines = OpenStoreKey(subkey, 0, KEY_ENUMERATE_SUB_KEYS);
    if (machines == NULL)
        return 0;
    int found = 0;
    char keyName[256];
    for (DWORD index = 0; !found; index++) {
        DWORD length = sizeof(keyName);
        if (RegEnumKeyExA(machines, index, keyName, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        StandinMachine machine;
        if (ReadStandinMachine(keyName, &machine) && lstrcmpiA(machine.uuid, uuid) == 0) {
            lstrcpynA(name, machine.name, (int)nameSize);
            found = 1;
        }
    }
    RegCloseKey(machines);
    return found;
}

int UpdateStandinMachineRun(const char *name, long state, unsigned long sessionPid)
{
    if (!IsUsableMachineName(name))
        return 0;
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), "Machines", name);
    // Opened, never created: a machine forgotten by a reset stays forgotten.
    HKEY key = OpenStoreKey(subkey, 0, KEY_SET_VALUE);
    if (key == NULL)
        return 0;
    int written = WriteDword(key, "State", (DWORD)state) && WriteDword(key, "SessionPid", sessionPid);
    RegCloseKey(key);
    return written;
}

int IsStandinFaultName(const char *method)
{
    return IsInList(method, FaultNames, sizeof(FaultNames) / sizeof(FaultNames[0]));
}

HRESULT ReadStandinFault(const char *method)
{
    return (HRESULT)ReadFolderValue("Faults", method, 0);
}

int WriteStandinFault(const char *method, long hresult)
{
    return IsStandinFaultName(method) && WriteFolderValue("Faults", method, (DWORD)hresult);
}

int IsStandinOutcomeName(const char *method)
{
    return IsInList(method, OutcomeNames, sizeof(OutcomeNames) / sizeof(OutcomeNames[0]));
}

HRESULT ReadStandinOutcome(const char *method)
{
    return (HRESULT)ReadFolderValue("Outcomes", method, 0);
}

int WriteStandinOutcome(const char *method, long hresult)
{
    return IsStandinOutcomeName(method) && WriteFolderValue("Outcomes", method, (DWORD)hresult);
}

void ReadStandinGuest(const char *machineName, char *behaviour, size_t size)
{
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), "Guests", NULL);
    HKEY key = IsUsableMachineName(machineName) ? OpenStoreKey(subkey, 0, KEY_QUERY_VALUE) : NULL;
    if (key == NULL || !ReadText(key, machineName, behaviour, size))
        lstrcpynA(behaviour, "normal", (int)size);
    if (key != NULL)
        RegCloseKey(key);
}

int WriteStandinGuest(const char *machineName, const char *behaviour)
{
    if (!IsUsableMachineName(machineName) ||
        !IsInList(behaviour, GuestBehaviours, sizeof(GuestBehaviours) / sizeof(GuestBehaviours[0])))
        return 0;
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), "Guests", NULL);
    HKEY key = OpenStoreKey(subkey, 1, KEY_SET_VALUE);
    if (key == NULL)
        return 0;
    int written = WriteText(key, machineName, behaviour);
    RegCloseKey(key);
    return written;
}

int IsStandinMismatchName(const char *interfaceName)
{
    return IsInList(interfaceName, MismatchNames, sizeof(MismatchNames) / sizeof(MismatchNames[0]));
}

int ReadStandinMismatch(const char *interfaceName, GUID *other)
{
    if (!IsStandinMismatchName(interfaceName))
        return 0;
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), "Mismatch", NULL);
    HKEY key = OpenStoreKey(subkey, 0, KEY_QUERY_VALUE);
    if (key == NULL)
        return 0;
    char text[64];
    wchar_t wide[64];
    int read = ReadText(key, interfaceName, text, sizeof(text)) &&
               MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 64) > 0 && SUCCEEDED(CLSIDFromString(wide, other));
    RegCloseKey(key);
    return read;
}

int WriteStandinMismatch(const char *interfaceName, const GUID *other)
{
    if (!IsStandinMismatchName(interfaceName))
        return 0;
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), "Mismatch", NULL);
    HKEY key = OpenStoreKey(subkey, 1, KEY_SET_VALUE);
    if (key == NULL)
        return 0;
    int written;
    if (other == NULL) {
        LONG status = RegDeleteValueA(key, interfaceName);
        written = status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
    } else {
        wchar_t wide[64];
        char text[64];
        StringFromGUID2(*other, wide, 64);
        WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof(text), NULL, NULL);
        written = WriteText(key, interfaceName, text);
    }
    RegCloseKey(key);
    return written;
}

int IsStandinDelayName(const char *operation)
{
    return IsInList(operation, DelayNames, sizeof(DelayNames) / sizeof(DelayNames[0]));
}

long ReadStandinDelay(const char *operation)
{
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), "Delays", NULL);
    HKEY key = OpenStoreKey(subkey, 0, KEY_QUERY_VALUE);
    if (key == NULL)
        return 0;
    long ms = (long)(LONG)ReadDword(key, operation, 0);
    RegCloseKey(key);
    return ms;
}

int WriteStandinDelay(const char *operation, long ms)
{
    if (!IsStandinDelayName(operation) || ms < -1)
        return 0;
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), "Delays", NULL);
    HKEY key = OpenStoreKey(subkey, 1, KEY_SET_VALUE);
    if (key == NULL)
        return 0;
    int written = WriteDword(key, operation, (DWORD)ms);
    RegCloseKey(key);
    return written;
}

int ReadStandinBehaviour(const char *machineName, char *behaviour, size_t behaviourSize, unsigned long *exitCode)
{
    lstrcpynA(behaviour, "normal", (int)behaviourSize);
    *exitCode = 0;
    if (!IsUsableMachineName(machineName))
        return 0;
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), "Headless", machineName);
    HKEY key = OpenStoreKey(subkey, 0, KEY_QUERY_VALUE);
    if (key == NULL)
        return 1;
    if (!ReadText(key, "Behaviour", behaviour, behaviourSize))
        lstrcpynA(behaviour, "normal", (int)behaviourSize);
    *exitCode = ReadDword(key, "ExitCode", 0);
    RegCloseKey(key);
    return 1;
}

int WriteStandinBehaviour(const char *machineName, const char *behaviour, unsigned long exitCode)
{
    if (!IsUsableMachineName(machineName) || behaviour == NULL)
        return 0;
    if (strcmp(behaviour, "normal") != 0 && strcmp(behaviour, "crash") != 0 && strcmp(behaviour, "hang") != 0 &&
        strcmp(behaviour, "fail") != 0)
        return 0;
    char subkey[512];
    ComposeSubkey(subkey, sizeof(subkey), "Headless", machineName);
    HKEY key = OpenStoreKey(subkey, 1, KEY_SET_VALUE);
    if (key == NULL)
        return 0;
    int written = WriteText(key, "Behaviour", behaviour) && WriteDword(key, "ExitCode", exitCode);
    RegCloseKey(key);
    return written;
}

void ReadStandinServerInfo(char *version, size_t versionSize, char *homeFolder, size_t homeFolderSize)
{
    ReadServerText("Version", STANDIN_DEFAULT_VERSION, version, versionSize);
    ReadServerText("HomeFolder", STANDIN_DEFAULT_HOME_FOLDER, homeFolder, homeFolderSize);
}

int WriteStandinServerInfo(const char *version, const char *homeFolder)
{
    HKEY key = OpenStoreKey(STANDIN_KEY, 1, KEY_SET_VALUE);
    if (key == NULL)
        return 0;
    int written = 1;
    if (version == NULL)
        RegDeleteValueA(key, "Version");
    else
        written = WriteText(key, "Version", version);
    if (homeFolder == NULL)
        RegDeleteValueA(key, "HomeFolder");
    else
        written = WriteText(key, "HomeFolder", homeFolder) && written;
    RegCloseKey(key);
    return written;
}

void ReadStandinGenerationName(char *name, size_t size)
{
    ReadServerText("Generation", STANDIN_DEFAULT_GENERATION, name, size);
}

int WriteStandinGeneration(const char *name)
{
    if (!IsStandinGenerationWord(name))
        return 0;
    HKEY key = OpenStoreKey(STANDIN_KEY, 1, KEY_SET_VALUE);
    if (key == NULL)
        return 0;
    int written = WriteText(key, "Generation", name);
    RegCloseKey(key);
    return written;
}

unsigned long ReadStandinIdleTimeout(void)
{
    HKEY key = OpenStoreKey(STANDIN_KEY, 0, KEY_QUERY_VALUE);
    if (key == NULL)
        return STANDIN_DEFAULT_IDLE_TIMEOUT_MS;
    unsigned long ms = ReadDword(key, "IdleTimeoutMs", STANDIN_DEFAULT_IDLE_TIMEOUT_MS);
    RegCloseKey(key);
    return ms;
}

int WriteStandinIdleTimeout(unsigned long ms)
{
    HKEY key = OpenStoreKey(STANDIN_KEY, 1, KEY_SET_VALUE);
    if (key == NULL)
        return 0;
    int written = WriteDword(key, "IdleTimeoutMs", ms);
    RegCloseKey(key);
    return written;
}

int ClearStandinStore(void)
{
    HKEY key = OpenStoreKey(STANDIN_KEY, 0, KEY_ALL_ACCESS);
    LONG status = key != NULL ? RegDeleteTreeA(key, NULL) : ERROR_FILE_NOT_FOUND;
    if (key != NULL)
        RegCloseKey(key);
    int cleared = status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
    return ClearJournal() && cleared;
}
