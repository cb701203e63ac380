#ifndef PELORIN_BITMAP_BITS_H
#define PELORIN_BITMAP_BITS_H

// 16 x 16 pictures as numbers, for judging menu bitmaps by their bits (Wine
// does not blend menu bitmaps on screen). Pixels are 0xAARRGGBB, top row first.
#include <windows.h>

#include <functional>
#include <vector>

typedef std::vector<DWORD> Pixels;

// The pixels of a 16 x 16 bitmap as 32-bit colour; empty when unreadable.
Pixels BitmapPixels(HBITMAP bitmap);
// What DrawIconEx draws of an icon onto a fully transparent 32-bit bitmap.
Pixels DrawnIconPixels(HICON icon);
// An icon whose colour carries no alpha: `colour` where inside(x, y) holds
// (x from the left, y from the top), transparent by its mask elsewhere.
HICON CreateIconWithoutAlpha(const std::function<bool(int, int)> &inside, DWORD colour);

#endif
