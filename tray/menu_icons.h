#ifndef PELORIN_MENU_ICONS_H
#define PELORIN_MENU_ICONS_H

#include <windows.h>

// One menu bitmap per TrayState code 0 to 9; the cache owns them and
// CleanupTray deletes them at exit.
#define MENU_BITMAP_SLOTS 10
extern HBITMAP MenuBitmapCache[MENU_BITMAP_SLOTS];

// The bitmap shown beside a service's item on Vista and later, or null.
HBITMAP MenuBitmapForState(int state);

// Owner drawing of the state icons on Windows before Vista, where the
// service items carry HBMMENU_CALLBACK and their identifier is the state.
void MeasureMenuIcon(MEASUREITEMSTRUCT *item);
void DrawMenuIcon(const DRAWITEMSTRUCT *item);

#endif
