#include "menu_icons.h"

HBITMAP MenuBitmapCache[MENU_BITMAP_SLOTS];

HBITMAP MenuBitmapForState(int state)
{
    if (state < 0 || state >= MENU_BITMAP_SLOTS)
        return NULL;
    // Empty slots are filled here once the state icons are converted into
    // alpha bitmaps; until then an empty slot means an item without picture.
    return MenuBitmapCache[state];
}
