// The menu on Windows before Vista, in a copy of this program that Wine
// takes for Windows XP (its AppDefaults key): no bitmap is made, and the
// dialog measures and draws the state icons of the owner-drawn items.
#include <gtest/gtest.h>

#include <map>

#include "buffered_paint.h"
#include "menu_icons.h"
#include "resource.h"
#include "service_list.h"
#include "test_support.h"
#include "tray_menu.h"
#include "tray_shell.h"
#include "tray_test_support.h"

namespace {

struct OwnerDrawn {
    UINT width = 0, height = 0;  // as measured
    COLORREF centre = CLR_INVALID, side = CLR_INVALID; // the drawn icon at (8, 8) and (4, 8)
};
std::map<UINT, OwnerDrawn> Items; // by item identifier, the state

INT_PTR CALLBACK RecordingDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        return FALSE;
    INT_PTR result = TrayDialogProc(window, message, wParam, lParam);
    if (message == WM_MEASUREITEM) {
        const MEASUREITEMSTRUCT *item = (const MEASUREITEMSTRUCT *)lParam;
        Items[item->itemID].width = item->itemWidth;
        Items[item->itemID].height = item->itemHeight;
    } else if (message == WM_DRAWITEM) {
        const DRAWITEMSTRUCT *item = (const DRAWITEMSTRUCT *)lParam;
        int y = (item->rcItem.top + item->rcItem.bottom) / 2;
        Items[item->itemID].centre = GetPixel(item->hDC, item->rcItem.left - 8, y);
        Items[item->itemID].side = GetPixel(item->hDC, item->rcItem.left - 12, y);
    }
    return result;
}

void CALLBACK EndShownMenu(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND menu = FindWindowA("#32768", NULL);
    if (menu != NULL && IsWindowVisible(menu)) {
        KillTimer(NULL, timer);
        EndMenu();
    }
}

class BeforeVista : public TrayTest {};

TEST_F(BeforeVista, NoBitmapIsMadeAndTheOwnerMeasuresAndDrawsTheStateIcons)
{
    if (LOBYTE(GetVersion()) > 5) {
        std::string folder = MakeTestFolder("tray before vista");
        std::string copy = CopyBuiltProgram("tray_shell_tests.exe", folder, "tray_xp_check.exe");
        const char *key = "Software\\Wine\\AppDefaults\\tray_xp_check.exe";
        RegSetKeyValueA(HKEY_CURRENT_USER, key, "Version", REG_SZ, "winxp", 6);
        std::string output;
        const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
        int code = RunProgram(Quote(copy) + " --gtest_filter=" + test->test_suite_name() + "." + test->name(), &output);
        RegDeleteTreeA(HKEY_CURRENT_USER, key);
        EXPECT_EQ(0, code) << output;
        EXPECT_NE(std::string::npos, output.find("[  PASSED  ] 1 test.")) << output;
        return;
    }
    // Here, in the copy: the real start-up steps find Windows XP.
    StartTrayShell(GetModuleHandleA(NULL));
    EXPECT_EQ(5, WindowsMajorVersion);
    EXPECT_TRUE(UxBeginBufferedPaint == NULL && UxGetBufferedPaintBits == NULL && UxEndBufferedPaint == NULL);
    std::string folder = MakeTestFolder("tray before vista copy");
    UseTrayFolder(folder);
    WriteTextFile(folder + "vm.ini", ServiceIni("VM"));
    WriteTextFile(folder + "pelorintray.ini",
                  "[running]\r\nConfigFile=" + folder + "vm.ini\r\n[error]\r\nConfigFile=" + folder + "none.ini\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    TrayEntries[0].State = Running;
    HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_TRAY), NULL, RecordingDialogProc, 0);
    ASSERT_TRUE(dialog != NULL);
    BuildTrayMenu(PollSucceeded);
    SetTimer(NULL, 0, 200, EndShownMenu);
    ShowTrayMenu(dialog);
    DestroyWindow(dialog);

    for (int i = 0; i < MENU_BITMAP_SLOTS; i++)
        EXPECT_TRUE(MenuBitmapCache[i] == NULL) << i;
    for (UINT state : { (UINT)Running, (UINT)ConfigNotFound }) {
        ASSERT_EQ(1u, Items.count(state)) << state;
        EXPECT_EQ(3u, Items[state].width) << state; // asked with 0, given room beside the icon
        EXPECT_EQ(16u, Items[state].height) << state;
    }
    // The green triangle of the running icon, the red ring of the error icon.
    COLORREF running = Items[Running].centre, error = Items[ConfigNotFound].side;
    EXPECT_GT(GetGValue(running), GetRValue(running)) << std::hex << running;
    EXPECT_GT(GetRValue(error), GetGValue(error)) << std::hex << error;
}

} // namespace
