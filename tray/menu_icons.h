#ifndef PELORIN_MENU_ICONS_H
#define PELORIN_MENU_ICONS_H

// The state icons beside the services' menu items: on Vista and later as
// 16 x 16 premultiplied-alpha bitmaps, which the menu blends itself; before
// Vista drawn by the owner.
#include <windows.h>
#include <uxtheme.h>

// One menu bitmap per TrayState code 0 to 9, made at first need and kept;
// the cache owns them.
#define MENU_BITMAP_SLOTS 10
extern HBITMAP MenuBitmapCache[MENU_BITMAP_SLOTS];

// The bitmap of a state, converted from its icon the first time it is asked
// for; null when the conversion failed (it is tried again next time).
HBITMAP MenuBitmapForState(int state);
// Deletes every cached bitmap, from slot 9 down to slot 0.
void FreeMenuBitmaps(void);

// A new 32-bit DIB section of the icon with premultiplied alpha, or null.
// The caller keeps the icon (which may be null: the bitmap is then blank).
HBITMAP IconToMenuBitmap(HICON icon);
// A zeroed 16 x 16, 32-bit bottom-up DIB section for dc (the screen's when
// null); S_OK or E_OUTOFMEMORY.
HRESULT CreateMenuDib(HDC dc, HBITMAP *bitmap);
// Gives an icon that was drawn without alpha the alpha of its mask.
HRESULT FixPaintBufferAlpha(HPAINTBUFFER buffer, HDC dc, HICON icon);
BOOL PaintBufferHasAlpha(const RGBQUAD *pixels, int rowPixels);
// Opaque inside the mask's shape, 0 (clear, no colour) outside.
HRESULT AlphaFromIconMask(HDC dc, RGBQUAD *pixels, HBITMAP mask, int rowPixels);

// Owner drawing of the state icons on Windows before Vista, where the
// service items carry HBMMENU_CALLBACK and their identifier is the state.
void MeasureMenuIcon(MEASUREITEMSTRUCT *item);
void DrawMenuIcon(const DRAWITEMSTRUCT *item);

#endif
