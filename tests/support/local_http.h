#ifndef PELORIN_LOCAL_HTTP_H
#define PELORIN_LOCAL_HTTP_H

// A local HTTP server of the test's own, on 127.0.0.1 at a port the system
// picks, for WinINet to reach through http_proxy: nothing goes to the network.
// It answers every request with the one scripted response and keeps the
// requests' heads. A test stand-in; the demo's update server uses it too.
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

class LocalHttpServer {
public:
    LocalHttpServer();
    ~LocalHttpServer(); // stops listening and waits for its thread
    // The body sent with the given status line, or a whole raw response,
    // at once or a byte every msPerByte milliseconds.
    void ReplyWith(const std::string &body, const std::string &status = "200 OK");
    void ReplyRaw(const std::string &response, DWORD msPerByte = 0);
    // Reads each request and never answers: holds the connection until the client leaves.
    void ReplyNever();
    // For each connection answered slowly or never, the milliseconds from
    // its request until the client left (or the slow response was all sent).
    std::vector<DWORD> HeldMs();
    // "http://127.0.0.1:<port>", for http_proxy.
    std::string ProxyAddress() const;
    std::vector<std::string> Requests();

private:
    static DWORD WINAPI Serve(void *server);
    bool ClientLeft(UINT_PTR client, DWORD waitMs);
    UINT_PTR listener_ = ~(UINT_PTR)0; // a SOCKET; winsock2.h stays out of the tests' way
    int port_ = 0;
    HANDLE thread_ = NULL;
    std::mutex lock_;
    std::string response_;
    DWORD msPerByte_ = 0;
    bool never_ = false;
    std::vector<std::string> requests_;
    std::vector<DWORD> held_;
    volatile LONG stopping_ = 0;
};

#endif
