#ifndef PELORIN_SCRIPTED_PIPE_H
#define PELORIN_SCRIPTED_PIPE_H

// A control pipe server of the test's own, for the client's side of the
// pipe: it answers each request code with its scripted reply, or closes the
// connection without a reply when the code has none.
#include <windows.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// A reply delay for a server that accepts, reads and never answers: it holds
// each connection until it ends, or NEVER_REPLY_HOLD_MS at most, so that a
// client that would wait for ever fails its test instead of hanging it.
#define NEVER_REPLY INFINITE
#define NEVER_REPLY_HOLD_MS 20000

class ScriptedPipeServer {
public:
    // With a delay, each connection is served on a thread of its own and
    // its reply (if scripted) comes that many milliseconds after its request.
    // The reply's bytes are written in parts of these sizes, 100 ms apart;
    // parts of fewer than 4 bytes in all give a short reply.
    ScriptedPipeServer(const std::string &vmName, const std::map<DWORD, DWORD> &replies, DWORD replyDelayMs = 0,
                       const std::vector<DWORD> &replyParts = { 4 });
    ~ScriptedPipeServer(); // stops listening and waits for its threads
    std::vector<DWORD> Requests(); // the codes received so far, in order

private:
    struct Connection {
        ScriptedPipeServer *server;
        HANDLE client;
    };
    static DWORD WINAPI Serve(void *server);
    static DWORD WINAPI ServeLate(void *connection);
    HANDLE Listen();
    void Answer(HANDLE client, bool late);
    std::string name_;
    std::map<DWORD, DWORD> replies_;
    DWORD delay_;
    std::vector<DWORD> parts_;
    std::vector<DWORD> requests_;
    std::vector<HANDLE> connections_; // threads of the late connections
    std::mutex lock_;
    HANDLE first_ = INVALID_HANDLE_VALUE;
    HANDLE stop_ = NULL; // set when the server ends: held connections let go
    volatile LONG stopping_ = 0;
    HANDLE thread_ = NULL;
};

// A pipe whose only instance serves a client of the test's own: every
// further open fails with ERROR_PIPE_BUSY while it lives.
class BusyPipe {
public:
    explicit BusyPipe(const std::string &vmName);
    ~BusyPipe();

private:
    HANDLE server_ = INVALID_HANDLE_VALUE;
    HANDLE client_ = INVALID_HANDLE_VALUE;
};

// The pipes that the code linked into the test program opens (CreateFileA
// on a "\\.\pipe\" name) while work runs, as the flags of each open; the
// first `busy` of them fail with ERROR_PIPE_BUSY, as if every instance were
// serving another client.
std::vector<DWORD> RecordPipeOpens(const std::function<void()> &work, int busy = 0);
// How many pipes it opens; -1 when the opens cannot be watched.
int CountPipeOpens(const std::function<void()> &work);

// A machine name no other test or service uses.
std::string UniqueVmName(const std::string &stem);

#endif
