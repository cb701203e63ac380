#ifndef PELORIN_CONTROL_PIPE_H
#define PELORIN_CONTROL_PIPE_H

// The service listens on PIPE_NAME_PREFIX "." VmName; the tray helper
// connects to the same name. Both sides compose it into this many bytes.
#define PIPE_NAME_PREFIX "\\\\.\\pipe\\pelorin"
#define PIPE_NAME_SIZE 256

// One 32-bit request per connection; the reply is one 32-bit value.
enum ControlRequest {
    VrdeEnabled = 256,
    VrdePort = 257,
    ScreenResolution = 258
};

#endif
