#include "menu_icons.h"

#include "tray_base.h"

HBITMAP MenuBitmapCache[MENU_BITMAP_SLOTS];

HBITMAP MenuBitmapForState(int state)
{
    if (state < 0 || state >= MENU_BITMAP_SLOTS)
        return NULL;
    // Empty slots are filled here once the state icons are converted into
    // alpha bitmaps; until then an empty slot means an item without picture.
    return MenuBitmapCache[state];
}

void MeasureMenuIcon(MEASUREITEMSTRUCT *item)
{
    item->itemWidth += 3;
    if (item->itemHeight <= 15)
        item->itemHeight = 16;
}

void DrawMenuIcon(const DRAWITEMSTRUCT *item)
{
    HICON icon = LoadStateIcon((int)item->itemID);
    if (icon == NULL)
        return;
    // The rectangle handed over for a callback bitmap starts to the right of
    // the space kept for it.
    DrawIconEx(item->hDC, item->rcItem.left - 16, (item->rcItem.top + item->rcItem.bottom - 16) / 2, icon, 16, 16, 0,
               NULL, DI_NORMAL);
    DestroyIcon(icon);
}
