#ifndef PELORIN_PIPE_CLIENT_H
#define PELORIN_PIPE_CLIENT_H

#include <windows.h>

// Questions to machines' services over their control pipes, on the tray's
// only thread. All the pipes of one call are opened and their requests and
// replies are under way at once, waited for together under one deadline: a
// click costs about what the slowest service takes, and services that accept
// and never answer (a hung query, or another program on the pipe's name)
// cost it PIPE_DEADLINE_MS at most, however many there are. Pipes whose
// every instance is taken share one wait of PIPE_BUSY_WAIT_MS at most.
#define PIPE_BUSY_WAIT_MS 250
#define PIPE_DEADLINE_MS 2250

// For tools and tests of the pipe itself: whichever process serves it.
#define ANY_PIPE_SERVER 0

struct PipeQuestion {
    const char *VmName;
    // The service's process, from the last poll: a pipe that another
    // program created first under the same name is not asked.
    DWORD ServiceProcessId;
    DWORD Request; // a ControlRequest
    // Results: Opened 1 when the pipe was opened, -1 when it could not be,
    // 0 when the name does not fit (a cut name could reach another machine's
    // service); Reply the four bytes of the reply, 0 unless all four came in time.
    int Opened;
    DWORD Reply;
};

// Asks every question at once; returns when all are answered or at the deadline.
void AskServices(PipeQuestion *questions, int count);

// One question each, on a connection of its own.
// Non-zero when the machine's remote display is enabled; 0 when it is not,
// the name is too long, the pipe cannot be opened or no reply comes.
int RequestVrdeEnabled(const char *vmName, DWORD serviceProcessId = ANY_PIPE_SERVER);
// The port of the running machine's remote display; -1 when the pipe cannot
// be opened, 0 when the name is too long or no reply comes.
int RequestVrdePort(const char *vmName, DWORD serviceProcessId = ANY_PIPE_SERVER);
// The running machine's screen size: 1 when the pipe was opened (width and
// height from the reply, 0 without one), -1 when it cannot be opened, 0 when
// the name is too long (width and height 0 in both cases).
int RequestScreenResolution(const char *vmName, int *width, int *height,
                            DWORD serviceProcessId = ANY_PIPE_SERVER);

#endif
