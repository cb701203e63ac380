// The menu on Windows before Vista: no bitmap is made, and the dialog
// measures and draws the state icons of the owner-drawn items.
#include <gtest/gtest.h>

#include <algorithm>

#include "buffered_paint.h"
#include "menu_icons.h"
#include "owner_draw_recorder.h"
#include "resource.h"
#include "service_list.h"
#include "test_support.h"
#include "tray_menu.h"
#include "tray_shell.h"
#include "tray_test_support.h"
#include "windows_xp.h"

namespace {

void CALLBACK EndShownMenu(HWND, UINT, UINT_PTR timer, DWORD)
{
    if (IsWindowVisible(FindWindowA("#32768", NULL))) {
        KillTimer(NULL, timer);
        EndMenu();
    }
}

TEST(BeforeVista, NoBitmapIsMadeAndTheOwnerMeasuresAndDrawsTheStateIcons)
{
    if (!IsWindowsXp()) {
        std::string output;
        EXPECT_EQ(0, RunCurrentTestOnWindowsXp(&output)) << output;
        EXPECT_NE(std::string::npos, output.find("[  PASSED  ] 1 test.")) << output;
        return;
    }
    // In the copy that Wine takes for Windows XP, through the real start-up steps.
    StartTrayShell(GetModuleHandleA(NULL));
    EXPECT_EQ(5, WindowsMajorVersion);
    EXPECT_TRUE(UxBeginBufferedPaint == NULL && UxGetBufferedPaintBits == NULL && UxEndBufferedPaint == NULL);
    std::string folder = MakeTestFolder("tray before vista copy");
    UseTrayFolder(folder);
    WriteTextFile(folder + "vm.ini", ServiceIni("VM"));
    WriteTextFile(folder + "pelorintray.ini", "[a]\r\nConfigFile=" + folder + "vm.ini\r\n[b]\r\nConfigFile=x\\b.ini\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    TrayEntries[0].State = Running;
    OwnerDrawInner = TrayDialogProc;
    HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_TRAY), NULL, RecordOwnerDrawing, 0);
    BuildTrayMenu(PollSucceeded);
    SetTimer(NULL, 0, 200, EndShownMenu);
    ShowTrayMenu(dialog);
    DestroyWindow(dialog);

    EXPECT_EQ(std::count(MenuBitmapCache, MenuBitmapCache + MENU_BITMAP_SLOTS, (HBITMAP)NULL), MENU_BITMAP_SLOTS);
    // Asked with a width of 0, each item makes room beside its icon.
    ASSERT_EQ(2u, OwnerDrawnItems.size());
    for (UINT state : { (UINT)Running, (UINT)ConfigNotFound }) {
        EXPECT_EQ(3u, OwnerDrawnItems[state].width) << state;
        EXPECT_EQ(16u, OwnerDrawnItems[state].height) << state;
    }
    // The green triangle of the running icon, the red ring of the error icon.
    COLORREF running = OwnerDrawnItems[Running].inner, error = OwnerDrawnItems[ConfigNotFound].outer;
    EXPECT_GT(GetGValue(running), GetRValue(running)) << std::hex << running;
    EXPECT_GT(GetRValue(error), GetGValue(error)) << std::hex << error;
}

} // namespace
