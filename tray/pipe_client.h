#ifndef PELORIN_PIPE_CLIENT_H
#define PELORIN_PIPE_CLIENT_H

// Questions to a machine's service over its control pipe, one connection
// each, on the tray's only thread. A service that accepts and never answers
// (a hung query, or another program on the pipe's name) must not freeze the
// icon and the menu: each request waits at most PIPE_BUSY_WAIT_MS for a
// free pipe instance and PIPE_REPLY_TIMEOUT_MS for the exchange, and a late
// reply counts as none.
#define PIPE_BUSY_WAIT_MS 250
#define PIPE_REPLY_TIMEOUT_MS 2000

// Non-zero when the machine's remote display is enabled; 0 when it is not,
// the name is too long, the pipe cannot be opened or no reply comes.
int RequestVrdeEnabled(const char *vmName);
// The port of the running machine's remote display; -1 when the pipe cannot
// be opened, 0 when the name is too long or no reply comes.
int RequestVrdePort(const char *vmName);
// The running machine's screen size: 1 when the pipe was opened (width and
// height from the reply, 0 without one), -1 when it cannot be opened, 0 when
// the name is too long (width and height 0 in both cases).
int RequestScreenResolution(const char *vmName, int *width, int *height);

#endif
