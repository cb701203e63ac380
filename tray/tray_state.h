#ifndef PELORIN_TRAY_STATE_H
#define PELORIN_TRAY_STATE_H

// What the tray knows about a watched service. 0 and 5 are never set.
enum TrayState {
    Stopped = 1,
    StopPending = 2,
    StartPending = 3,
    Running = 4,
    Undetermined = 6,    // not yet polled, paused, continue or pause pending, or unreadable
    ConfigNotFound = 7,  // "ConfigFile" names no existing file
    ServiceNotFound = 8, // the service could not be opened
    NotConfigured = 9    // no usable "ConfigFile", or no "VmName" in it
};

#endif
