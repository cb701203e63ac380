#ifndef PELORIN_STANDIN_PIPE_H
#define PELORIN_STANDIN_PIPE_H

// The stand-in server's private control pipe. One request line per
// connection, answered with one line ("OK ..." or "ERR ..."):
//   PING                  OK <server pid>
//   RESET                 OK, once attached VBoxHeadless stand-ins have ended
//                         and the catalogue and the journal are empty
//   SHUTDOWN              OK, then the server ends
//   RESTART               OK, then the server ends and starts a fresh copy
//   GUEST <name>          OK, once a guest that now crashes has crashed
//   HEADLESS-ENDS <savestate|poweroff> <name>
//                         OK once the machine's VBoxHeadless has begun to
//                         save or power off its machine by itself
//   ATTACH <pid> <uuid>   OK <machine name>, or LOCKED (another session holds
//                         the machine); after OK the connection stays open
//                         and the server writes QUIT (the machine is off or
//                         saved: exit 0) or END (end now, whatever the
//                         behaviour) to it

#include <windows.h>

#define STANDIN_PIPE_NAME "\\\\.\\pipe\\pelorin-standin"

// INVALID_HANDLE_VALUE when no server answers within waitMs.
HANDLE ConnectStandinPipe(DWORD waitMs);
int WriteStandinLine(HANDLE pipe, const char *line);
// Reads up to a line feed, which is dropped; 0 when the pipe broke first.
int ReadStandinLine(HANDLE pipe, char *line, size_t size);
// Connects, sends one request and reads its reply.
int ExchangeStandinRequest(const char *request, char *reply, size_t replySize, DWORD waitMs);

#endif
