#ifndef PELORIN_PIPE_SERVER_H
#define PELORIN_PIPE_SERVER_H

#include <windows.h>

// Rights of SYSTEM and of the account the service runs under on the control
// pipe: ACCESS_SYSTEM_SECURITY, FILE_GENERIC_READ and FILE_GENERIC_WRITE. No
// one else gets in.
#define CONTROL_PIPE_ACCESS 0x0112019F
// What INTERACTIVE gets: the same but FILE_CREATE_PIPE_INSTANCE, so that no
// user can add an instance of the pipe and answer other users' trays.
#define CONTROL_PIPE_CLIENT_ACCESS (CONTROL_PIPE_ACCESS & ~FILE_CREATE_PIPE_INSTANCE)

// A client has this long to send its request, a reply this long to be
// written, and a request waits this long behind others for its answer.
#define PIPE_READ_TIMEOUT 3000
#define PIPE_WRITE_TIMEOUT 1000
#define PIPE_ANSWER_TIMEOUT 5000
// Connections served at once; a client beyond them is refused at once.
#define PIPE_MAX_CONNECTIONS 32
// A connection's thread only waits: a small stack keeps many of them cheap.
#define PIPE_THREAD_STACK (64 * 1024)

// 1 while the server accepts clients; set before the server thread starts,
// cleared by StopPipeServer.
extern volatile LONG PipeServerRunning;

// The accept loop: one pipe instance at a time, one thread per connection;
// the answers are worked out one at a time on one long-lived query thread.
void __cdecl PipeServerThread(void *unused);
// Serves one connection (the argument is the connected pipe handle) and closes it.
unsigned __stdcall PipeConnectionThread(void *pipe);
// Ends the accept loop and every connection's waits at once, and lets the
// query thread's VirtualBox connection go. Does not wait.
void StopPipeServer(void);

#endif
