// A service whose state the tests set on demand. A copy named X.exe reads
// section [TestService], key "State" of X.ini beside it every 50 ms (or
// every "PollMs", read once at the start, so that many copies can run idle) and
// reports that state: "running", "start pending", "stop pending", "paused"
// or "stopped" (which ends it). It reports running as soon as it starts, so
// that StartServiceA returns; the INI then moves it on.
// Every stop control is appended to X.stops as "stop <ShutdownOnceCommand>",
// the one-off method in force in section [Pelorin] at that moment, as the
// real service would read it; then the service reports stopped and ends.
// With "PipeReply" set (read at the start) it serves the control pipe of its
// [Pelorin] VmName from its own process, as the real service does: every
// request gets that number after "PipeDelayMs" (read at each request), or
// never ("PipeDelayMs=never": the connection is held until the client leaves).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char IniPath[MAX_PATH];
static char StopsPath[MAX_PATH];
static SERVICE_STATUS_HANDLE StatusHandle;
static SERVICE_STATUS Status;
static HANDLE StopRequested;

static void DerivePaths(void)
{
    char exe[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, exe, sizeof(exe));
    if (length <= 4 || length >= sizeof(exe))
        return;
    exe[length - 4] = '\0';
    snprintf(IniPath, sizeof(IniPath), "%s.ini", exe);
    snprintf(StopsPath, sizeof(StopsPath), "%s.stops", exe);
}

static void Report(DWORD state)
{
    Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    Status.dwCurrentState = state;
    Status.dwControlsAccepted = state == SERVICE_RUNNING || state == SERVICE_PAUSED ? SERVICE_ACCEPT_STOP : 0;
    Status.dwWin32ExitCode = 0;
    Status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED || state == SERVICE_PAUSED ? 0 : 1;
    Status.dwWaitHint = Status.dwCheckPoint ? 60000 : 0;
    SetServiceStatus(StatusHandle, &Status);
}

static DWORD WantedState(void)
{
    char word[64];
    GetPrivateProfileStringA("TestService", "State", "running", word, sizeof(word), IniPath);
    if (_stricmp(word, "start pending") == 0)
        return SERVICE_START_PENDING;
    if (_stricmp(word, "stop pending") == 0)
        return SERVICE_STOP_PENDING;
    if (_stricmp(word, "paused") == 0)
        return SERVICE_PAUSED;
    if (_stricmp(word, "stopped") == 0)
        return SERVICE_STOPPED;
    return SERVICE_RUNNING;
}

static DWORD PipeReply;

// Answers one request: at once, late, or never.
static DWORD WINAPI AnswerPipeClient(void *context)
{
    HANDLE pipe = (HANDLE)context;
    DWORD request = 0, count = 0;
    if (ReadFile(pipe, &request, sizeof(request), &count, NULL) && count == sizeof(request)) {
        char delay[64];
        GetPrivateProfileStringA("TestService", "PipeDelayMs", "0", delay, sizeof(delay), IniPath);
        if (_stricmp(delay, "never") == 0) {
            // Returns when the client closes its end.
            ReadFile(pipe, &request, sizeof(request), &count, NULL);
        } else {
            Sleep((DWORD)atoi(delay));
            WriteFile(pipe, &PipeReply, sizeof(PipeReply), &count, NULL);
            FlushFileBuffers(pipe);
        }
    }
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    return 0;
}

static HANDLE ListenOnPipe(void)
{
    char vmName[256], name[300];
    GetPrivateProfileStringA("Pelorin", "VmName", "", vmName, sizeof(vmName), IniPath);
    snprintf(name, sizeof(name), "\\\\.\\pipe\\pelorin.%s", vmName);
    return CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, 16, 16, 0, NULL);
}

// Given the first instance; ends with the process. The next instance
// listens before a client is answered; each client is answered on a thread
// of its own, so that one held for long keeps no other waiting.
static DWORD WINAPI ServePipe(void *first)
{
    HANDLE pipe = (HANDLE)first;
    while (pipe != INVALID_HANDLE_VALUE) {
        BOOL connected = ConnectNamedPipe(pipe, NULL) || GetLastError() == ERROR_PIPE_CONNECTED;
        HANDLE next = ListenOnPipe();
        HANDLE thread = connected ? CreateThread(NULL, 0, AnswerPipeClient, pipe, 0, NULL) : NULL;
        if (thread == NULL)
            CloseHandle(pipe);
        else
            CloseHandle(thread);
        pipe = next;
    }
    return 1;
}

static void RecordStop(void)
{
    char method[64];
    GetPrivateProfileStringA("Pelorin", "ShutdownOnceCommand", "", method, sizeof(method), IniPath);
    FILE *file = fopen(StopsPath, "ab");
    if (file == NULL)
        return;
    fprintf(file, "stop %s\r\n", method);
    fclose(file);
}

static DWORD WINAPI Handler(DWORD control, DWORD, void *, void *)
{
    if (control == SERVICE_CONTROL_STOP) {
        RecordStop();
        SetEvent(StopRequested);
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_INTERROGATE)
        return NO_ERROR;
    return ERROR_CALL_NOT_IMPLEMENTED;
}

static void WINAPI TestServiceMain(DWORD, char **)
{
    StatusHandle = RegisterServiceCtrlHandlerExA("", Handler, NULL);
    if (StatusHandle == NULL)
        return;
    char reply[16];
    // The pipe listens before the service reports running, as the tests expect of it.
    if (GetPrivateProfileStringA("TestService", "PipeReply", "", reply, sizeof(reply), IniPath) > 0) {
        PipeReply = (DWORD)atoi(reply);
        HANDLE server = CreateThread(NULL, 0, ServePipe, ListenOnPipe(), 0, NULL);
        if (server != NULL)
            CloseHandle(server);
    }
    Report(SERVICE_RUNNING);
    DWORD reported = SERVICE_RUNNING;
    DWORD poll = GetPrivateProfileIntA("TestService", "PollMs", 50, IniPath);
    while (WaitForSingleObject(StopRequested, poll) == WAIT_TIMEOUT) {
        DWORD wanted = WantedState();
        if (wanted == SERVICE_STOPPED)
            break;
        if (wanted != reported) {
            Report(wanted);
            reported = wanted;
        }
    }
    Report(SERVICE_STOPPED);
}

int main(void)
{
    DerivePaths();
    StopRequested = CreateEventA(NULL, TRUE, FALSE, NULL);
    SERVICE_TABLE_ENTRYA table[] = { { (char *)"", TestServiceMain }, { NULL, NULL } };
    BOOL dispatched = StartServiceCtrlDispatcherA(table);
    CloseHandle(StopRequested);
    return dispatched ? 0 : 1;
}
