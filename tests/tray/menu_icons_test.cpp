// The state icons turned into the menu's premultiplied-alpha bitmaps, judged by their bits.
#include <gtest/gtest.h>

#include <algorithm>

#include "bitmap_bits.h"
#include "menu_icons.h"
#include "tray_base.h"
#include "tray_test_support.h"

namespace {

typedef TrayTest MenuIconTest;

// Inside the shape: the left ten columns of the top six rows, so that a
// mask read upside down or mirrored shows.
bool Corner(int x, int y)
{
    return x < 10 && y < 6;
}

TEST_F(MenuIconTest, IconsKeepTheirOwnAlphaOrTakeTheirMasks)
{
    HICON running = LoadStateIcon(Running);
    HICON plain = CreateIconWithoutAlpha(Corner, 0x00123456);
    Pixels masked(256);
    for (int i = 0; i < 256; i++)
        masked[i] = Corner(i % 16, i / 16) ? 0xFF123456 : 0;
    const struct {
        const char *name;
        HICON icon;
        Pixels expected;
    } rows[] = {
        { "own alpha, drawn as it is", running, DrawnIconPixels(running) },
        { "no alpha: opaque inside the mask, clear and without colour outside", plain, masked },
        { "no icon: blank and clear", NULL, Pixels(256, 0) },
    };
    for (const auto &row : rows) {
        HBITMAP bitmap = IconToMenuBitmap(row.icon);
        ASSERT_TRUE(bitmap != NULL) << row.name;
        EXPECT_EQ(row.expected, BitmapPixels(bitmap)) << row.name;
        DeleteObject(bitmap);
    }
    // The running icon has clear, partly clear and solid pixels of its own.
    Pixels drawn = DrawnIconPixels(running);
    EXPECT_NE(drawn.end(), std::find(drawn.begin(), drawn.end(), 0u));
    EXPECT_NE(drawn.end(), std::find_if(drawn.begin(), drawn.end(), [](DWORD p) { return p >> 24 == 0xFF; }));
    DestroyIcon(running);
    DestroyIcon(plain);
}

} // namespace
