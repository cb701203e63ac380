// The stand-in's COM server for the VirtualBox object.
//   standin_server /regserver [SERVER]
//                                  register classes, interfaces and type library
//                                  in this program's registry view; the class's
//                                  server is SERVER (default this program), so
//                                  that an i686 copy can register the 32-bit
//                                  view for the 64-bit server, as VirtualBox's
//                                  32-bit client is installed beside its 64-bit server
//   standin_server /unregserver    remove them again
//   standin_server /serve          serve until told to shut down (test fixture)
//   standin_server -Embedding      started by COM activation: serve, and end
//                                  when idle
// A server asked to restart starts its successor (with /serve) as its last
// step; the successor inherits its harmless standard handles.
// Exit codes: 0 done, 1 failed, 2 unknown option.
#include <stdio.h>
#include <string.h>

#include "server.h"
#include "standin_pipe.h"
#include "standin_store.h"

HANDLE ServerEndingEvent;

namespace {

HANDLE ShutdownRequested;
volatile LONG RestartRequested;
volatile LONG LiveObjects;
volatile DWORD LastActivity;

// An activated server ends once nothing has used it for a while (the
// catalogue's idle time-out when it holds no objects); references that a
// killed client never released do not keep it up for ever.
DWORD IdleWithoutObjectsMs;
const DWORD IdleWithObjectsMs = 300000;
// How long a successor waits for its predecessor's pipe to go away.
const DWORD FirstPipeWaitMs = 10000;

int IsIdle(void)
{
    if (CountAttachedHeadless() > 0)
        return 0;
    DWORD idle = GetTickCount() - LastActivity;
    return (LiveObjects <= 0 && idle >= IdleWithoutObjectsMs) || idle >= IdleWithObjectsMs;
}

HANDLE WaitForFirstControlPipe(void)
{
    DWORD started = GetTickCount();
    HANDLE pipe = CreateFirstControlPipe();
    while (pipe == INVALID_HANDLE_VALUE && GetTickCount() - started < FirstPipeWaitMs) {
        Sleep(100);
        pipe = CreateFirstControlPipe();
    }
    return pipe;
}

void StartSuccessor(void)
{
    char exe[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, exe, sizeof(exe));
    if (length == 0 || length >= sizeof(exe))
        return;
    char commandLine[MAX_PATH + 16];
    snprintf(commandLine, sizeof(commandLine), "\"%s\" /serve", exe);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    if (CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

int RunServer(int endWhenIdle)
{
    CoInitializeEx(NULL, COINIT_MULTITHREADED);
    InitializeMachineRuns();
    ServerEndingEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    ShutdownRequested = CreateEventA(NULL, TRUE, FALSE, NULL);
    IdleWithoutObjectsMs = ReadStandinIdleTimeout();
    NoteServerActivity();

    // A second server would split the tests' state: the first one keeps the pipe.
    HANDLE pipe = WaitForFirstControlPipe();
    if (pipe == INVALID_HANDLE_VALUE) {
        CoUninitialize();
        return 1;
    }
    PinInterfaceRegistrations();
    IClassFactory *factory = NewVirtualBoxFactory();
    DWORD cookie = 0;
    HRESULT result = CoRegisterClassObject(CLSID_VirtualBox, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    if (FAILED(result)) {
        CloseHandle(pipe);
        factory->Release();
        UnpinInterfaceRegistrations();
        CoUninitialize();
        return 1;
    }
    // From here on the pipe answers: an answer to PING means ready.
    StartControlPipeThread(pipe);

    while (WaitForSingleObject(ShutdownRequested, 1000) == WAIT_TIMEOUT) {
        if (endWhenIdle && IsIdle())
            break;
    }

    // Revoked first: a server that vanishes still registered breaks later activations.
    CoRevokeClassObject(cookie);
    EndAllMachines();
    SetEvent(ServerEndingEvent);
    factory->Release();
    UnpinInterfaceRegistrations();
    CoUninitialize();
    if (RestartRequested)
        StartSuccessor();
    return 0;
}

}  // namespace

void NoteServerActivity(void)
{
    LastActivity = GetTickCount();
}

void CountServerObject(int change)
{
    InterlockedExchangeAdd(&LiveObjects, change);
}

void RequestServerShutdown(int restart)
{
    if (restart)
        InterlockedExchange(&RestartRequested, 1);
    SetEvent(ShutdownRequested);
}

int main(int argc, char **argv)
{
    const char *option = argc > 1 ? argv[1] : "";
    if (option[0] == '/' || option[0] == '-')
        option++;
    if (lstrcmpiA(option, "regserver") == 0)
        return RegisterStandin(argc > 2 ? argv[2] : NULL) ? 0 : 1;
    if (lstrcmpiA(option, "unregserver") == 0)
        return UnregisterStandin() ? 0 : 1;
    if (lstrcmpiA(option, "serve") == 0)
        return RunServer(0);
    if (lstrcmpiA(option, "Embedding") == 0)
        return RunServer(1);
    return 2;
}
