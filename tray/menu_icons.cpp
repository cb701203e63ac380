#include "menu_icons.h"

#include "buffered_paint.h"
#include "tray_base.h"

HBITMAP MenuBitmapCache[MENU_BITMAP_SLOTS];

#define ICON_SIZE 16

static void DescribeMenuDib(BITMAPINFO *info)
{
    ZeroMemory(info, sizeof(*info));
    info->bmiHeader.biSize = sizeof(info->bmiHeader);
    info->bmiHeader.biWidth = ICON_SIZE;
    info->bmiHeader.biHeight = ICON_SIZE; // bottom-up, as the paint buffer of BPBF_DIB
    info->bmiHeader.biPlanes = 1;
    info->bmiHeader.biBitCount = 32;
    info->bmiHeader.biCompression = BI_RGB;
}

static BOOL IsZeroPixel(const RGBQUAD *pixel)
{
    return pixel->rgbBlue == 0 && pixel->rgbGreen == 0 && pixel->rgbRed == 0 && pixel->rgbReserved == 0;
}

HRESULT CreateMenuDib(HDC dc, HBITMAP *bitmap)
{
    BITMAPINFO info;
    DescribeMenuDib(&info);
    HDC screen = NULL;
    if (dc == NULL)
        dc = screen = GetDC(NULL);
    *bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, NULL, NULL, 0);
    if (screen != NULL)
        ReleaseDC(NULL, screen);
    return *bitmap != NULL ? S_OK : E_OUTOFMEMORY;
}

BOOL PaintBufferHasAlpha(const RGBQUAD *pixels, int rowPixels)
{
    for (int y = 0; y < ICON_SIZE; y++, pixels += rowPixels) {
        for (int x = 0; x < ICON_SIZE; x++) {
            if (pixels[x].rgbReserved != 0)
                return TRUE;
        }
    }
    return FALSE;
}

HRESULT AlphaFromIconMask(HDC dc, RGBQUAD *pixels, HBITMAP mask, int rowPixels)
{
    RGBQUAD *maskPixels = (RGBQUAD *)HeapAlloc(GetProcessHeap(), 0, ICON_SIZE * ICON_SIZE * sizeof(RGBQUAD));
    if (maskPixels == NULL)
        return E_OUTOFMEMORY;
    BITMAPINFO info;
    DescribeMenuDib(&info);
    HRESULT result = E_UNEXPECTED;
    if (GetDIBits(dc, mask, 0, ICON_SIZE, maskPixels, &info, DIB_RGB_COLORS) == ICON_SIZE) {
        const RGBQUAD *maskPixel = maskPixels;
        for (int y = 0; y < ICON_SIZE; y++, pixels += rowPixels) {
            for (int x = 0; x < ICON_SIZE; x++, maskPixel++) {
                // Premultiplied: a clear pixel has no colour either; white
                // with alpha 0 would be drawn as white where it is blended.
                if (IsZeroPixel(maskPixel)) {
                    pixels[x].rgbReserved = 0xFF;
                } else {
                    pixels[x].rgbBlue = pixels[x].rgbGreen = pixels[x].rgbRed = 0;
                    pixels[x].rgbReserved = 0;
                }
            }
        }
        result = S_OK;
    }
    HeapFree(GetProcessHeap(), 0, maskPixels);
    return result;
}

HRESULT FixPaintBufferAlpha(HPAINTBUFFER buffer, HDC dc, HICON icon)
{
    RGBQUAD *pixels = NULL;
    int rowPixels = 0;
    HRESULT result = UxGetBufferedPaintBits(buffer, &pixels, &rowPixels);
    if (FAILED(result))
        return result;
    // A buffer narrower than the icon would be walked past its end.
    if (pixels == NULL || rowPixels < ICON_SIZE)
        return E_UNEXPECTED;
    // An icon with an alpha channel of its own was drawn as it should look.
    if (PaintBufferHasAlpha(pixels, rowPixels))
        return S_OK;
    ICONINFO info;
    if (!GetIconInfo(icon, &info))
        return S_OK;
    if (info.hbmMask != NULL)
        result = AlphaFromIconMask(dc, pixels, info.hbmMask, rowPixels);
    // GetIconInfo hands out copies.
    if (info.hbmColor != NULL)
        DeleteObject(info.hbmColor);
    if (info.hbmMask != NULL)
        DeleteObject(info.hbmMask);
    return result;
}

HBITMAP IconToMenuBitmap(HICON icon)
{
    // Only the buffered paint gives a premultiplied bitmap; without it the
    // item shows no picture, and the menu works the same.
    if (UxBeginBufferedPaint == NULL || UxGetBufferedPaintBits == NULL || UxEndBufferedPaint == NULL)
        return NULL;
    HDC dc = CreateCompatibleDC(NULL);
    if (dc == NULL)
        return NULL;
    HBITMAP bitmap = NULL;
    if (FAILED(CreateMenuDib(dc, &bitmap))) {
        DeleteDC(dc);
        return NULL;
    }
    HGDIOBJ previous = SelectObject(dc, bitmap);
    if (previous != NULL) {
        RECT rect = { 0, 0, ICON_SIZE, ICON_SIZE };
        BLENDFUNCTION blend = { AC_SRC_OVER, 0, 255, AC_SRC_ALPHA };
        BP_PAINTPARAMS params;
        ZeroMemory(&params, sizeof(params));
        params.cbSize = sizeof(params);
        params.dwFlags = BPPF_ERASE; // the buffer starts fully transparent
        params.pBlendFunction = &blend;
        HDC bufferDc = NULL;
        HPAINTBUFFER buffer = UxBeginBufferedPaint(dc, &rect, BPBF_DIB, &params, &bufferDc);
        if (buffer != NULL) {
            if (DrawIconEx(bufferDc, 0, 0, icon, ICON_SIZE, ICON_SIZE, 0, NULL, DI_NORMAL))
                FixPaintBufferAlpha(buffer, dc, icon);
            UxEndBufferedPaint(buffer, TRUE);
        }
        SelectObject(dc, previous);
    }
    DeleteDC(dc);
    return bitmap;
}

HBITMAP MenuBitmapForState(int state)
{
    if (state < 0 || state >= MENU_BITMAP_SLOTS)
        return NULL;
    if (MenuBitmapCache[state] == NULL) {
        // A state without an icon still gets its blank bitmap, kept like any other.
        HICON icon = LoadStateIcon(state);
        MenuBitmapCache[state] = IconToMenuBitmap(icon);
        if (icon != NULL)
            DestroyIcon(icon);
    }
    return MenuBitmapCache[state];
}

void FreeMenuBitmaps(void)
{
    for (int i = MENU_BITMAP_SLOTS - 1; i >= 0; i--) {
        if (MenuBitmapCache[i] != NULL) {
            DeleteObject(MenuBitmapCache[i]);
            MenuBitmapCache[i] = NULL;
        }
    }
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
    DrawIconEx(item->hDC, item->rcItem.left - ICON_SIZE, (item->rcItem.top + item->rcItem.bottom - ICON_SIZE) / 2, icon,
               ICON_SIZE, ICON_SIZE, 0, NULL, DI_NORMAL);
    DestroyIcon(icon);
}
