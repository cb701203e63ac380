#ifndef PELORIN_PIPE_SERVER_H
#define PELORIN_PIPE_SERVER_H

#include <windows.h>

// Rights of INTERACTIVE and SYSTEM on the control pipe: ACCESS_SYSTEM_SECURITY,
// FILE_GENERIC_READ and FILE_GENERIC_WRITE. No one else gets in.
#define CONTROL_PIPE_ACCESS 0x0112019F

// 1 while the server accepts clients; set before the server thread starts,
// cleared by StopPipeServer.
extern volatile LONG PipeServerRunning;

// The accept loop: one pipe instance at a time, one thread per connection;
// the answers are worked out one at a time on one long-lived query thread.
void __cdecl PipeServerThread(void *unused);
// Serves one connection (the argument is the connected pipe handle) and closes it.
void __cdecl PipeConnectionThread(void *pipe);
// Ends the accept loop: clears the flag and wakes the loop with request 0.
void StopPipeServer(void);

#endif
