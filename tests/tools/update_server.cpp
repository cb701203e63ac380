// The demo's update-check server: a local stand-in for the maker's, reached
// through http_proxy, so that the tray helper's check never leaves the machine.
//   updateserver.exe REPLY FOLDER
// Once it listens it writes its address for http_proxy to
// FOLDER\update-server.proxy; it answers every request with REPLY and
// appends each request's head to FOLDER\update-server.requests. It runs
// until it is ended.
#include <windows.h>

#include <stdio.h>

#include <string>

#include "local_http.h"

static void WriteFileText(const std::string &path, const std::string &text, const char *mode)
{
    FILE *file = fopen(path.c_str(), mode);
    if (file == NULL)
        return;
    fputs(text.c_str(), file);
    fclose(file);
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: updateserver.exe REPLY FOLDER\n");
        return 2;
    }
    std::string folder = std::string(argv[2]) + "\\";
    LocalHttpServer server;
    server.ReplyWith(argv[1]);
    WriteFileText(folder + "update-server.requests", "", "wb");
    // Written under another name and renamed, so that a reader never sees half of it.
    WriteFileText(folder + "update-server.proxy.part", server.ProxyAddress(), "wb");
    MoveFileExA((folder + "update-server.proxy.part").c_str(), (folder + "update-server.proxy").c_str(),
                MOVEFILE_REPLACE_EXISTING);
    for (size_t written = 0;; Sleep(100)) {
        std::vector<std::string> requests = server.Requests();
        for (; written < requests.size(); written++)
            WriteFileText(folder + "update-server.requests", requests[written] + "\r\n\r\n", "ab");
    }
}
