#include "standin_pipe.h"

#include <string.h>

HANDLE ConnectStandinPipe(DWORD waitMs)
{
    DWORD started = GetTickCount();
    for (;;) {
        HANDLE pipe = CreateFileA(STANDIN_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (pipe != INVALID_HANDLE_VALUE)
            return pipe;
        DWORD error = GetLastError();
        DWORD elapsed = GetTickCount() - started;
        if (elapsed >= waitMs)
            return INVALID_HANDLE_VALUE;
        // Busy: every instance is taken, the next one comes soon. Not found: the
        // server has not started yet, or is between two instances.
        if (error == ERROR_PIPE_BUSY)
            WaitNamedPipeA(STANDIN_PIPE_NAME, waitMs - elapsed);
        else
            Sleep(50);
    }
}

int WriteStandinLine(HANDLE pipe, const char *line)
{
    char text[1024];
    size_t length = strlen(line);
    if (length + 2 > sizeof(text))
        return 0;
    memcpy(text, line, length);
    text[length++] = '\n';
    DWORD written = 0;
    return WriteFile(pipe, text, (DWORD)length, &written, NULL) && written == length;
}

int ReadStandinLine(HANDLE pipe, char *line, size_t size)
{
    size_t length = 0;
    for (;;) {
        char c;
        DWORD count = 0;
        if (!ReadFile(pipe, &c, 1, &count, NULL) || count == 0) {
            line[length] = '\0';
            return 0;
        }
        if (c == '\n')
            break;
        if (length + 1 < size)
            line[length++] = c;
    }
    line[length] = '\0';
    return 1;
}

int ExchangeStandinRequest(const char *request, char *reply, size_t replySize, DWORD waitMs)
{
    reply[0] = '\0';
    HANDLE pipe = ConnectStandinPipe(waitMs);
    if (pipe == INVALID_HANDLE_VALUE)
        return 0;
    int exchanged = WriteStandinLine(pipe, request) && ReadStandinLine(pipe, reply, replySize);
    CloseHandle(pipe);
    return exchanged;
}
