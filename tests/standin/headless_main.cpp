// VBoxHeadless.exe of the stand-in: the machine's session process.
//   VBoxHeadless.exe -s "<uuid>" -v config
// Journals how it was started, attaches to the stand-in's server as the
// process that runs the machine with that UUID (VBoxHeadless's own lock), and
// runs until the server tells it to end (or, by the machine's behaviour,
// crashes or hangs). Exit codes, as VirtualBox's: 1 when it cannot find or
// lock the machine, 0 for every end after that (a power-up that failed, a
// power-off, a save); 2 wrong command line; the chosen code of a crash (the
// process itself dies). Losing the server (the harness's end) exits 1.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "standin_journal.h"
#include "standin_pipe.h"
#include "standin_store.h"

namespace {

// VBoxHeadless reaches its server through COM, which waits far longer than a
// few seconds; a short bound here would fail a start only because the test
// machine is busy.
const DWORD AttachWaitMs = 30000;

void ExitHeadless(const char *machineName, unsigned long exitCode)
{
    JournalLine line;
    BeginJournalLine(&line, "VBoxHeadless::Exit");
    AddJournalString(&line, "machine", machineName);
    AddJournalNumber(&line, "exitCode", exitCode);
    WriteJournalLine(&line, S_OK);
    ExitProcess((UINT)exitCode);
}

void JournalStart(const char *commandLine)
{
    char installPath[MAX_PATH];
    char userHome[MAX_PATH];
    DWORD installLength = GetEnvironmentVariableA("VBOX_INSTALL_PATH", installPath, sizeof(installPath));
    DWORD homeLength = GetEnvironmentVariableA("VBOX_USER_HOME", userHome, sizeof(userHome));
    JournalLine line;
    BeginJournalLine(&line, "VBoxHeadless::Start");
    AddJournalString(&line, "commandLine", commandLine);
    AddJournalString(&line, "VBOX_INSTALL_PATH", installLength > 0 && installLength < sizeof(installPath) ? installPath : NULL);
    AddJournalString(&line, "VBOX_USER_HOME", homeLength > 0 && homeLength < sizeof(userHome) ? userHome : NULL);
    AddJournalNumber(&line, "priorityClass", GetPriorityClass(GetCurrentProcess()));
    AddJournalNumber(&line, "consoleWindow", GetConsoleWindow() != NULL ? 1 : 0);
    WriteJournalLine(&line, S_OK);
}

// The arguments after the program's own name. The service does not quote the
// program's path, which may hold blanks, so an unquoted name runs to the
// program's file name rather than to the first blank.
const char *SkipProgramName(const char *commandLine)
{
    if (commandLine[0] == '"') {
        const char *closing = strchr(commandLine + 1, '"');
        return closing != NULL ? closing + 1 : commandLine + strlen(commandLine);
    }
    static const char FileName[] = "vboxheadless.exe";
    size_t nameLength = sizeof(FileName) - 1;
    for (const char *c = commandLine; *c != '\0'; c++) {
        if (_strnicmp(c, FileName, nameLength) == 0)
            return c + nameLength;
    }
    const char *blank = strchr(commandLine, ' ');
    return blank != NULL ? blank : commandLine + strlen(commandLine);
}

// Accepts exactly -s "<uuid>" -v config after the program's name and blanks.
int ParseArguments(const char *commandLine, char *uuid, size_t uuidSize)
{
    const char *rest = SkipProgramName(commandLine);
    if (*rest != ' ' && *rest != '\t')
        return 0;
    while (*rest == ' ' || *rest == '\t')
        rest++;
    static const char Before[] = "-s \"";
    static const char After[] = "\" -v config";
    if (strncmp(rest, Before, sizeof(Before) - 1) != 0)
        return 0;
    rest += sizeof(Before) - 1;
    const char *closing = strchr(rest, '"');
    if (closing == NULL || closing == rest || (size_t)(closing - rest) >= uuidSize || strcmp(closing, After) != 0)
        return 0;
    memcpy(uuid, rest, closing - rest);
    uuid[closing - rest] = '\0';
    return 1;
}

}  // namespace

int main()
{
    const char *commandLine = GetCommandLineA();
    JournalStart(commandLine);
    char uuid[64];
    if (!ParseArguments(commandLine, uuid, sizeof(uuid)))
        ExitHeadless("", 2);

    HANDLE server = ConnectStandinPipe(AttachWaitMs);
    if (server == INVALID_HANDLE_VALUE)
        ExitHeadless("", 1);
    char request[128];
    snprintf(request, sizeof(request), "ATTACH %lu %s", GetCurrentProcessId(), uuid);
    char reply[300];
    if (!WriteStandinLine(server, request) || !ReadStandinLine(server, reply, sizeof(reply)))
        ExitHeadless("", 1);
    if (strcmp(reply, "LOCKED") == 0) {
        // Another session holds the machine: "already locked".
        char catalogued[256] = "";
        FindStandinMachineByUuid(uuid, catalogued, sizeof(catalogued));
        JournalLine line;
        BeginJournalLine(&line, "VBoxHeadless::LockMachine");
        AddJournalString(&line, "machine", catalogued);
        WriteJournalLine(&line, STANDIN_E_INVALID_OBJECT_STATE);
        ExitHeadless("", 1);
    }
    if (strncmp(reply, "OK ", 3) != 0)
        ExitHeadless("", 1);
    char machineName[256];
    lstrcpynA(machineName, reply + 3, sizeof(machineName));

    char behaviour[32];
    unsigned long crashCode = 0;
    ReadStandinBehaviour(machineName, behaviour, sizeof(behaviour), &crashCode);
    if (strcmp(behaviour, "crash") == 0)
        ExitHeadless(machineName, crashCode);
    int hangs = strcmp(behaviour, "hang") == 0;

    char order[32];
    for (;;) {
        // A server that went away leaves the machine without its VirtualBox.
        if (!ReadStandinLine(server, order, sizeof(order)))
            ExitHeadless(machineName, 1);
        if (strcmp(order, "END") == 0 || (strcmp(order, "QUIT") == 0 && !hangs))
            ExitHeadless(machineName, 0);
    }
}
