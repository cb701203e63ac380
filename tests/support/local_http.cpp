#include <winsock2.h>

#include "local_http.h"

LocalHttpServer::LocalHttpServer()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    ReplyWith("");
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    if (bind(listener_, (sockaddr *)&address, sizeof(address)) == 0 && listen(listener_, 8) == 0 &&
        getsockname(listener_, (sockaddr *)&address, &size) == 0)
        port_ = ntohs(address.sin_port);
    thread_ = CreateThread(NULL, 0, Serve, this, 0, NULL);
}

LocalHttpServer::~LocalHttpServer()
{
    InterlockedExchange(&stopping_, 1);
    // Closing the socket ends the accept that the thread waits in.
    closesocket(listener_);
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
    WSACleanup();
}

void LocalHttpServer::ReplyWith(const std::string &body, const std::string &status)
{
    ReplyRaw("HTTP/1.1 " + status + "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\nConnection: close\r\n\r\n" + body);
}

void LocalHttpServer::ReplyRaw(const std::string &response, DWORD msPerByte)
{
    std::lock_guard<std::mutex> guard(lock_);
    response_ = response;
    msPerByte_ = msPerByte;
    never_ = false;
}

void LocalHttpServer::ReplyNever()
{
    std::lock_guard<std::mutex> guard(lock_);
    never_ = true;
}

std::vector<DWORD> LocalHttpServer::HeldMs()
{
    std::lock_guard<std::mutex> guard(lock_);
    return held_;
}

// Whether the client closed the connection within waitMs (INFINITE: until
// it does, or the server ends).
bool LocalHttpServer::ClientLeft(UINT_PTR client, DWORD waitMs)
{
    DWORD start = GetTickCount();
    while (!stopping_ && (waitMs == INFINITE || GetTickCount() - start < waitMs)) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET((SOCKET)client, &readable);
        timeval slice = { 0, 100000 };
        if (select(0, &readable, NULL, NULL, &slice) > 0) {
            char byte;
            if (recv((SOCKET)client, &byte, 1, 0) <= 0)
                return true;
        }
    }
    return stopping_ != 0;
}

std::string LocalHttpServer::ProxyAddress() const
{
    return "http://127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> LocalHttpServer::Requests()
{
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

DWORD WINAPI LocalHttpServer::Serve(void *context)
{
    LocalHttpServer *server = (LocalHttpServer *)context;
    for (;;) {
        SOCKET client = accept(server->listener_, NULL, NULL);
        if (client == INVALID_SOCKET)
            return 0;
        std::string head;
        char buffer[1024];
        int count;
        while (head.find("\r\n\r\n") == std::string::npos && (count = recv(client, buffer, sizeof(buffer), 0)) > 0)
            head.append(buffer, count);
        std::string response;
        DWORD msPerByte;
        bool never;
        {
            std::lock_guard<std::mutex> guard(server->lock_);
            server->requests_.push_back(head.substr(0, head.find("\r\n\r\n")));
            response = server->response_;
            msPerByte = server->msPerByte_;
            never = server->never_;
        }
        DWORD start = GetTickCount();
        if (never) {
            server->ClientLeft(client, INFINITE);
        } else if (msPerByte == 0) {
            send(client, response.data(), (int)response.size(), 0);
        } else {
            for (size_t i = 0; i < response.size() && send(client, &response[i], 1, 0) == 1; i++) {
                if (server->ClientLeft(client, msPerByte))
                    break;
            }
        }
        if (never || msPerByte != 0) {
            std::lock_guard<std::mutex> guard(server->lock_);
            server->held_.push_back(GetTickCount() - start);
        }
        // The whole head was read, so closing sends the response to its end.
        shutdown(client, SD_SEND);
        closesocket(client);
    }
}
