#ifndef PELORIN_TRAY_MENU_H
#define PELORIN_TRAY_MENU_H

#include <windows.h>

// The popup menu of the last build, null before the first one.
extern HMENU TrayMenu;
// One service submenu per listed entry, and its "Stop with" submenu where
// the entry shows commands (null otherwise).
extern HMENU *ServiceMenus;
extern HMENU *StopWithMenus;
// How many service submenus the last build made: 0 when it listed none.
extern int BuiltMenuCount;

// Builds the menu from the service list in the form the PollResult selects.
void BuildTrayMenu(int pollResult);
void DestroyTrayMenu(void);
// Shows the menu at the mouse; the chosen command comes back as WM_COMMAND.
void ShowTrayMenu(HWND dialog);

#endif
