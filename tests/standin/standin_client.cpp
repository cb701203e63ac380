#include "standin_client.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "standin.h"
#include "standin_journal.h"
#include "standin_pipe.h"
#include "standin_store.h"

namespace {

// Long enough to cover the moment between two pipe instances.
const DWORD ServerAnswerMs = 300;
const DWORD ShutdownWaitMs = 30000;

}  // namespace

int StandinReset(void)
{
    char reply[64];
    if (ExchangeStandinRequest("RESET", reply, sizeof(reply), ServerAnswerMs))
        return strcmp(reply, "OK") == 0;
    return ClearStandinStore();
}

int StandinSetGeneration(const char *generation)
{
    return WriteStandinGeneration(generation);
}

int StandinSetServerInfo(const char *version, const char *homeFolder)
{
    return WriteStandinServerInfo(version, homeFolder);
}

int StandinPutMachine(const StandinMachine *machine)
{
    return WriteStandinMachine(machine);
}

int StandinGetMachine(const char *name, StandinMachine *machine)
{
    return ReadStandinMachine(name, machine);
}

int StandinSetFault(const char *method, long hresult)
{
    return WriteStandinFault(method, hresult);
}

int StandinSetDelay(const char *operation, long ms)
{
    return WriteStandinDelay(operation, ms);
}

int StandinSetOutcome(const char *method, long hresult)
{
    return WriteStandinOutcome(method, hresult);
}

int StandinSetGuest(const char *machineName, const char *behaviour)
{
    if (!WriteStandinGuest(machineName, behaviour))
        return 0;
    // A running server applies the change at once (a crash); without one the
    // catalogue is enough.
    char request[300];
    char reply[64];
    snprintf(request, sizeof(request), "GUEST %s", machineName);
    if (ExchangeStandinRequest(request, reply, sizeof(reply), ServerAnswerMs))
        return strcmp(reply, "OK") == 0;
    return 1;
}

int StandinHeadlessEnds(const char *machineName, const char *how)
{
    if (machineName == NULL || how == NULL)
        return 0;
    char request[300];
    char reply[128];
    snprintf(request, sizeof(request), "HEADLESS-ENDS %s %s", how, machineName);
    return ExchangeStandinRequest(request, reply, sizeof(reply), ServerAnswerMs) && strcmp(reply, "OK") == 0;
}

int StandinSetMismatch(const char *interfaceName, const char *other)
{
    if (other == NULL)
        return WriteStandinMismatch(interfaceName, NULL);
    wchar_t wide[64];
    GUID iid;
    if (MultiByteToWideChar(CP_ACP, 0, other, -1, wide, 64) <= 0 || FAILED(CLSIDFromString(wide, &iid)))
        return 0;
    return WriteStandinMismatch(interfaceName, &iid);
}

int StandinSetHeadlessBehaviour(const char *machineName, const char *behaviour, unsigned long exitCode)
{
    return WriteStandinBehaviour(machineName, behaviour, exitCode);
}

int StandinSetIdleTimeout(unsigned long ms)
{
    return WriteStandinIdleTimeout(ms);
}

int StandinReadJournal(std::vector<std::string> *entries)
{
    return ReadJournalLines(entries);
}

int StandinServerRunning(void)
{
    char reply[64];
    return ExchangeStandinRequest("PING", reply, sizeof(reply), ServerAnswerMs) && strncmp(reply, "OK ", 3) == 0;
}

unsigned long StandinServerPid(void)
{
    char reply[64];
    if (!ExchangeStandinRequest("PING", reply, sizeof(reply), ServerAnswerMs) || strncmp(reply, "OK ", 3) != 0)
        return 0;
    return strtoul(reply + 3, NULL, 10);
}

int StandinWaitForServer(unsigned long timeoutMs)
{
    char reply[64];
    return ExchangeStandinRequest("PING", reply, sizeof(reply), timeoutMs) && strncmp(reply, "OK ", 3) == 0;
}

namespace {

// Sends SHUTDOWN or RESTART and waits until the server that took it has ended
// with exit code 0.
int EndServer(const char *request)
{
    char reply[64];
    if (!ExchangeStandinRequest("PING", reply, sizeof(reply), ServerAnswerMs) || strncmp(reply, "OK ", 3) != 0)
        return -1;
    DWORD pid = strtoul(reply + 3, NULL, 10);
    HANDLE server = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (server == NULL)
        return 0;
    int ended = 0;
    if (ExchangeStandinRequest(request, reply, sizeof(reply), ServerAnswerMs) && strcmp(reply, "OK") == 0 &&
        WaitForSingleObject(server, ShutdownWaitMs) == WAIT_OBJECT_0) {
        DWORD exitCode = 1;
        ended = GetExitCodeProcess(server, &exitCode) && exitCode == 0;
    }
    CloseHandle(server);
    return ended;
}

}  // namespace

int StandinShutdownServer(void)
{
    return EndServer("SHUTDOWN") != 0;
}

int StandinRestartServer(void)
{
    return EndServer("RESTART") == 1 && StandinWaitForServer(ShutdownWaitMs);
}

std::string StandinHeadlessPath(void)
{
    // Beside the registered (64-bit) server, whichever build asks: VirtualBox's
    // VBoxHeadless is a 64-bit program on every 64-bit host.
    wchar_t clsid[64];
    StringFromGUID2(CLSID_VirtualBox, clsid, 64);
    char subkey[128];
    snprintf(subkey, sizeof(subkey), "Software\\Classes\\CLSID\\%ls\\LocalServer32", clsid);
    char server[MAX_PATH + 2] = "";
    DWORD size = sizeof(server) - 1;
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
        if (RegQueryValueExA(key, NULL, NULL, NULL, (BYTE *)server, &size) != ERROR_SUCCESS)
            server[0] = '\0';
        RegCloseKey(key);
    }
    std::string path = server[0] == '"' ? std::string(server + 1) : std::string(server);
    if (path.rfind('\\') == std::string::npos) {
        DWORD length = GetModuleFileNameA(NULL, server, MAX_PATH);
        path.assign(server, length);
    }
    return path.substr(0, path.rfind('\\') + 1) + "VBoxHeadless.exe";
}
