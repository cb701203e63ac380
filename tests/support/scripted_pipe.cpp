#include "scripted_pipe.h"

#include <stdio.h>
#include <string.h>

#include "import_hook.h"

ScriptedPipeServer::ScriptedPipeServer(const std::string &vmName, const std::map<DWORD, DWORD> &replies)
    : name_("\\\\.\\pipe\\pelorin." + vmName), replies_(replies)
{
    // The first instance listens before the constructor returns.
    first_ = Listen();
    thread_ = CreateThread(NULL, 0, Serve, this, 0, NULL);
}

ScriptedPipeServer::~ScriptedPipeServer()
{
    InterlockedExchange(&stopping_, 1);
    // Wakes the listening instance; there always is one.
    HANDLE wake = CreateFileA(name_.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (wake != INVALID_HANDLE_VALUE)
        CloseHandle(wake);
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
}

std::vector<DWORD> ScriptedPipeServer::Requests()
{
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

HANDLE ScriptedPipeServer::Listen()
{
    return CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, 16, 16, 0, NULL);
}

DWORD WINAPI ScriptedPipeServer::Serve(void *context)
{
    ScriptedPipeServer *server = (ScriptedPipeServer *)context;
    HANDLE listening = server->first_;
    while (listening != INVALID_HANDLE_VALUE) {
        BOOL connected = ConnectNamedPipe(listening, NULL) || GetLastError() == ERROR_PIPE_CONNECTED;
        HANDLE client = listening;
        // The next instance listens before this client is served, so that a
        // client asking again at once finds it.
        listening = server->stopping_ ? INVALID_HANDLE_VALUE : server->Listen();
        DWORD code = 0;
        DWORD count = 0;
        if (connected && !server->stopping_ && ReadFile(client, &code, sizeof(code), &count, NULL) &&
            count == sizeof(code)) {
            std::map<DWORD, DWORD>::const_iterator reply = server->replies_.find(code);
            {
                std::lock_guard<std::mutex> guard(server->lock_);
                server->requests_.push_back(code);
            }
            if (reply != server->replies_.end()) {
                WriteFile(client, &reply->second, sizeof(reply->second), &count, NULL);
                FlushFileBuffers(client);
            }
        }
        DisconnectNamedPipe(client);
        CloseHandle(client);
    }
    return 0;
}

std::string UniqueVmName(const std::string &stem)
{
    static LONG counter;
    char name[128];
    snprintf(name, sizeof(name), "%s %lu.%ld", stem.c_str(), GetCurrentProcessId(), InterlockedIncrement(&counter));
    return name;
}

typedef HANDLE(WINAPI *CreateFileFunction)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
static CreateFileFunction RealCreateFile;
static int PipeOpens;

static HANDLE WINAPI CountingCreateFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                        DWORD disposition, DWORD flags, HANDLE model)
{
    PipeOpens += strncmp(name, "\\\\.\\pipe\\", 9) == 0;
    return RealCreateFile(name, access, share, security, disposition, flags, model);
}

int CountPipeOpens(const std::function<void()> &work)
{
    PipeOpens = 0;
    RealCreateFile = (CreateFileFunction)ReplaceImport("kernel32.dll", "CreateFileA", (void *)CountingCreateFile);
    work();
    if (RealCreateFile != NULL)
        ReplaceImport("kernel32.dll", "CreateFileA", (void *)RealCreateFile);
    return RealCreateFile != NULL ? PipeOpens : -1;
}
