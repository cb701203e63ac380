#include "standin_client.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

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
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, self, sizeof(self));
    std::string path(self, length);
    return path.substr(0, path.rfind('\\') + 1) + "VBoxHeadless.exe";
}
