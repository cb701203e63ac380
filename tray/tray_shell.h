#ifndef PELORIN_TRAY_SHELL_H
#define PELORIN_TRAY_SHELL_H

#include <windows.h>

#include "tray_base.h"

// One copy per Windows session: the name carries no "Global\" prefix.
#define TRAY_MUTEX_NAME "14336562-b3f7-490b-a9bd-858dd2c41bbf"

extern UINT TaskbarCreatedMessage; // 0 until the icon is first added

// The program's exit code when the shell refused the icon at every try.
#define TRAY_EXIT_NO_ICON 2

// The program's entry: 1 if another copy runs or the dialog cannot be
// created, 0 after the user chose Close, TRAY_EXIT_NO_ICON when the icon
// could not be shown.
int RunTrayHelper(HINSTANCE instance);

// The start-up steps before the dialog: the Windows version, the
// buffered-paint functions on Vista and later, an empty bitmap cache, the
// instance that the icons are loaded from.
void StartTrayShell(HINSTANCE instance);

// Adds the icon, or updates the one the shell still shows; TRUE when shown.
BOOL AddTrayIcon(HWND dialog);
void CleanupTray(void);
INT_PTR CALLBACK TrayDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif
