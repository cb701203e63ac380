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

class ScriptedPipeServer {
public:
    ScriptedPipeServer(const std::string &vmName, const std::map<DWORD, DWORD> &replies);
    ~ScriptedPipeServer(); // stops listening and waits for its thread
    std::vector<DWORD> Requests(); // the codes received so far, in order

private:
    static DWORD WINAPI Serve(void *server);
    HANDLE Listen();
    std::string name_;
    std::map<DWORD, DWORD> replies_;
    std::vector<DWORD> requests_;
    std::mutex lock_;
    HANDLE first_ = INVALID_HANDLE_VALUE;
    volatile LONG stopping_ = 0;
    HANDLE thread_ = NULL;
};

// How many pipes the code linked into the test program opens (CreateFileA
// on a "\\.\pipe\" name) while work runs.
int CountPipeOpens(const std::function<void()> &work);

// A machine name no other test or service uses.
std::string UniqueVmName(const std::string &stem);

#endif
