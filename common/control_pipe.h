#ifndef PELORIN_CONTROL_PIPE_H
#define PELORIN_CONTROL_PIPE_H

// The service listens on PIPE_NAME_PREFIX "." VmName; the tray helper
// connects to the same name. Both sides compose it into this many bytes.
#define PIPE_NAME_PREFIX "\\\\.\\pipe\\pelorin"
#define PIPE_NAME_SIZE 256

// One 32-bit little-endian request per connection; the reply is one 32-bit
// value. Any other code (0 among them) gets no reply.
enum ControlRequest {
    VrdeEnabled = 256,
    VrdePort = 257,
    ScreenResolution = 258
};

// Composes the pipe name of a machine into name (PIPE_NAME_SIZE bytes).
// Returns 1, or 0 with name empty when the name would not fit: a cut name
// could reach another machine's service.
int ComposePipeName(char *name, const char *vmName);

#endif
