#include "scripted_pipe.h"

#include <stdio.h>
#include <string.h>

#include "import_hook.h"

ScriptedPipeServer::ScriptedPipeServer(const std::string &vmName, const std::map<DWORD, DWORD> &replies,
                                       DWORD replyDelayMs, const std::vector<DWORD> &replyParts)
    : name_("\\\\.\\pipe\\pelorin." + vmName), replies_(replies), delay_(replyDelayMs), parts_(replyParts)
{
    stop_ = CreateEventA(NULL, TRUE, FALSE, NULL);
    // The first instance listens before the constructor returns.
    first_ = Listen();
    thread_ = CreateThread(NULL, 0, Serve, this, 0, NULL);
}

ScriptedPipeServer::~ScriptedPipeServer()
{
    InterlockedExchange(&stopping_, 1);
    SetEvent(stop_);
    // Wakes the listening instance; there always is one.
    HANDLE wake = CreateFileA(name_.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (wake != INVALID_HANDLE_VALUE)
        CloseHandle(wake);
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
    for (HANDLE connection : connections_) {
        WaitForSingleObject(connection, 10000);
        CloseHandle(connection);
    }
    CloseHandle(stop_);
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

void ScriptedPipeServer::Answer(HANDLE client, bool late)
{
    DWORD code = 0;
    DWORD count = 0;
    if (ReadFile(client, &code, sizeof(code), &count, NULL) && count == sizeof(code)) {
        std::map<DWORD, DWORD>::const_iterator reply = replies_.find(code);
        {
            std::lock_guard<std::mutex> guard(lock_);
            requests_.push_back(code);
        }
        if (late) {
            DWORD hold = delay_ == NEVER_REPLY ? NEVER_REPLY_HOLD_MS : delay_;
            if (WaitForSingleObject(stop_, hold) != WAIT_TIMEOUT || delay_ == NEVER_REPLY)
                reply = replies_.end();
        }
        if (reply != replies_.end()) {
            const BYTE *bytes = (const BYTE *)&reply->second;
            DWORD sent = 0;
            for (size_t i = 0; i < parts_.size() && sent + parts_[i] <= sizeof(reply->second); i++) {
                if (i > 0)
                    Sleep(100);
                WriteFile(client, bytes + sent, parts_[i], &count, NULL);
                FlushFileBuffers(client);
                sent += parts_[i];
            }
        }
    }
    DisconnectNamedPipe(client);
    CloseHandle(client);
}

DWORD WINAPI ScriptedPipeServer::ServeLate(void *context)
{
    Connection *connection = (Connection *)context;
    connection->server->Answer(connection->client, true);
    delete connection;
    return 0;
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
        if (!connected || server->stopping_) {
            DisconnectNamedPipe(client);
            CloseHandle(client);
            continue;
        }
        if (server->delay_ == 0) {
            server->Answer(client, false);
            continue;
        }
        // A late reply must not keep the next client from being read.
        Connection *connection = new Connection{ server, client };
        HANDLE thread = CreateThread(NULL, 0, ServeLate, connection, 0, NULL);
        if (thread == NULL) {
            delete connection;
            server->Answer(client, false);
            continue;
        }
        std::lock_guard<std::mutex> guard(server->lock_);
        server->connections_.push_back(thread);
    }
    return 0;
}

BusyPipe::BusyPipe(const std::string &vmName)
{
    std::string name = "\\\\.\\pipe\\pelorin." + vmName;
    server_ = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                               16, 16, 0, NULL);
    client_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

BusyPipe::~BusyPipe()
{
    if (client_ != INVALID_HANDLE_VALUE)
        CloseHandle(client_);
    if (server_ != INVALID_HANDLE_VALUE)
        CloseHandle(server_);
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
static std::vector<DWORD> PipeOpenFlags;
static int BusyOpensLeft;

static HANDLE WINAPI RecordingCreateFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                         DWORD disposition, DWORD flags, HANDLE model)
{
    if (strncmp(name, "\\\\.\\pipe\\", 9) == 0) {
        PipeOpenFlags.push_back(flags);
        if (BusyOpensLeft > 0) {
            BusyOpensLeft--;
            SetLastError(ERROR_PIPE_BUSY);
            return INVALID_HANDLE_VALUE;
        }
    }
    return RealCreateFile(name, access, share, security, disposition, flags, model);
}

std::vector<DWORD> RecordPipeOpens(const std::function<void()> &work, int busy)
{
    PipeOpenFlags.clear();
    BusyOpensLeft = busy;
    RealCreateFile = (CreateFileFunction)ReplaceImport("kernel32.dll", "CreateFileA", (void *)RecordingCreateFile);
    work();
    if (RealCreateFile != NULL)
        ReplaceImport("kernel32.dll", "CreateFileA", (void *)RealCreateFile);
    return PipeOpenFlags;
}

int CountPipeOpens(const std::function<void()> &work)
{
    std::vector<DWORD> opens = RecordPipeOpens(work);
    return RealCreateFile != NULL ? (int)opens.size() : -1;
}
