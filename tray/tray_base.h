#ifndef PELORIN_TRAY_BASE_H
#define PELORIN_TRAY_BASE_H

// The bottom of the tray helper: what the service list, the menu and the
// shell above them all share. It calls none of them.
#include <windows.h>
#include <shellapi.h>

#include "tray_state.h"

// The notification icon's callback message.
#define WM_TRAYICON (WM_APP + 1)

#define NO_MACHINES_RUNNING_TIP "No VirtualBox machines running"

extern HINSTANCE TrayInstance;   // the icons are loaded from it
extern int WindowsMajorVersion;  // low byte of GetVersion()
extern NOTIFYICONDATAA TrayIcon; // the shell adds it; the polls write its tooltip

// A 16 x 16 icon for a TrayState, or null; the caller destroys it.
HICON LoadStateIcon(int state);

#endif
