#include "bitmap_bits.h"

static void DescribeTopDown(BITMAPINFO *info)
{
    ZeroMemory(info, sizeof(*info));
    info->bmiHeader.biSize = sizeof(info->bmiHeader);
    info->bmiHeader.biWidth = 16;
    info->bmiHeader.biHeight = -16;
    info->bmiHeader.biPlanes = 1;
    info->bmiHeader.biBitCount = 32;
    info->bmiHeader.biCompression = BI_RGB;
}

Pixels BitmapPixels(HBITMAP bitmap)
{
    BITMAPINFO info;
    DescribeTopDown(&info);
    Pixels pixels(256);
    HDC dc = CreateCompatibleDC(NULL);
    int lines = GetDIBits(dc, bitmap, 0, 16, pixels.data(), &info, DIB_RGB_COLORS);
    DeleteDC(dc);
    return lines == 16 ? pixels : Pixels();
}

Pixels DrawnIconPixels(HICON icon)
{
    BITMAPINFO info;
    DescribeTopDown(&info);
    void *bits = NULL;
    HDC dc = CreateCompatibleDC(NULL);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ previous = SelectObject(dc, bitmap);
    DrawIconEx(dc, 0, 0, icon, 16, 16, 0, NULL, DI_NORMAL);
    GdiFlush();
    Pixels pixels((DWORD *)bits, (DWORD *)bits + 256);
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return pixels;
}

HICON CreateIconWithoutAlpha(const std::function<bool(int, int)> &inside, DWORD colour)
{
    BITMAPINFO info;
    DescribeTopDown(&info);
    void *bits = NULL;
    HDC dc = CreateCompatibleDC(NULL);
    HBITMAP colours = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    // The mask: one bit a pixel, rows padded to 16 bits; a set bit is outside.
    WORD maskRows[16];
    for (int y = 0; y < 16; y++) {
        WORD row = 0;
        for (int x = 0; x < 16; x++) {
            bool in = inside(x, y);
            ((DWORD *)bits)[y * 16 + x] = in ? (colour & 0x00FFFFFF) : 0;
            if (!in)
                row |= (WORD)(0x8000 >> x);
        }
        // Bytes of a monochrome bitmap are read most significant bit first.
        maskRows[y] = (WORD)((row >> 8) | (row << 8));
    }
    HBITMAP mask = CreateBitmap(16, 16, 1, 1, maskRows);
    ICONINFO icon = { TRUE, 0, 0, mask, colours };
    HICON made = CreateIconIndirect(&icon);
    DeleteObject(mask);
    DeleteObject(colours);
    DeleteDC(dc);
    return made;
}
