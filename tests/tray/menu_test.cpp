// The menu that BuildTrayMenu makes from the service list, read back
// through the menu functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>

#include "bitmap_bits.h"
#include "buffered_paint.h"
#include "command_ids.h"
#include "control_pipe.h"
#include "import_hook.h"
#include "menu_icons.h"
#include "pipe_client.h"
#include "scripted_pipe.h"
#include "service_list.h"
#include "test_support.h"
#include "tray_menu.h"
#include "tray_shell.h"
#include "tray_test_support.h"

namespace {

typedef std::vector<std::string> Texts;

// The program's own commands that close every menu.
const Texts FixedTail = { "-", "Reload config", "Check for updates...", "Autostart on logon", "-", "Close" };

const Texts ServiceCommands = { "Start",    "Stop",      "Stop with", "-",         "VRDP console",
                                "Open config file", "Show log", "Clear log", "-", "Autostart" };

class MenuTest : public TrayTest {
protected:
    std::string folder;

    std::string vmStem = "VM ";

    // Lists `count` services, each with its own INI "vm<i>.ini" and VmName "<vmStem><i>".
    void LoadServices(const std::string &name, int count, const std::string &extra = "")
    {
        folder = MakeTestFolder("tray menu " + name);
        UseTrayFolder(folder);
        std::string ini;
        for (int i = 0; i < count; i++) {
            std::string file = folder + "vm" + std::to_string(i) + ".ini";
            WriteTextFile(file, ServiceIni(vmStem + std::to_string(i), extra));
            ini += "[section " + std::to_string(i) + "]\r\nConfigFile=" + file + "\r\n";
        }
        WriteTextFile(folder + "pelorintray.ini", ini);
        ASSERT_EQ(PollSucceeded, LoadServiceList());
        ASSERT_EQ(count, TrayEntryCount);
    }

    static Texts Join(const Texts &head, const Texts &tail)
    {
        Texts all = head;
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    }

    static MenuItem TopItem(int position) { return ReadMenu(TrayMenu)[position]; }
    static std::vector<MenuItem> ServiceItems(int position) { return ReadMenu(TopItem(position).submenu); }
};

TEST_F(MenuTest, NoTrayIniShowsOnlyThatAndTheProgramsCommands)
{
    folder = MakeTestFolder("tray menu no ini");
    UseTrayFolder(folder);
    ASSERT_EQ(PollFailed, LoadServiceList());
    BuildTrayMenu(PollFailed);
    EXPECT_EQ(Join({ "No configuration file" }, FixedTail), MenuTexts(TrayMenu));
    std::vector<MenuItem> items = ReadMenu(TrayMenu);
    EXPECT_TRUE(items[0].grayed);
    EXPECT_EQ(0u, items[0].id);
    EXPECT_EQ((UINT)IDM_RELOAD, items[2].id);
    EXPECT_EQ((UINT)IDM_CHECK_UPDATES, items[3].id);
    EXPECT_EQ((UINT)IDM_LOGON_AUTOSTART, items[4].id);
    EXPECT_FALSE(items[4].checked);
    EXPECT_EQ((UINT)IDM_CLOSE, items[6].id);
    for (int i = 1; i < 7; i++) {
        if (!items[i].separator) {
            EXPECT_FALSE(items[i].grayed) << items[i].text;
        }
    }
    EXPECT_EQ(0, BuiltMenuCount);
}

TEST_F(MenuTest, AmpersandsInLabelsShowAsThemselves)
{
    folder = MakeTestFolder("tray menu ampersands");
    UseTrayFolder(folder);
    const std::string names[] = { "R&D", "&&", std::string(254, '&'), "plain" };
    std::string ini = "[A&B]\r\nConfigFile=\r\n";
    for (int i = 0; i < 4; i++) {
        WriteTextFile(folder + "vm" + std::to_string(i) + ".ini", ServiceIni(names[i]));
        ini += "[s" + std::to_string(i) + "]\r\nConfigFile=" + folder + "vm" + std::to_string(i) + ".ini\r\n";
    }
    WriteTextFile(folder + "pelorintray.ini", ini);
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    BuildTrayMenu(PollSucceeded);
    Texts labels = MenuTexts(TrayMenu);
    labels.resize(5);
    EXPECT_EQ(Texts({ "A&&B", "R&&D", "&&&&", std::string(508, '&'), "plain" }), labels);
}

TEST_F(MenuTest, EmptyListSaysNoServicesConfigured)
{
    LoadServices("empty", 0);
    BuildTrayMenu(PollSucceeded);
    EXPECT_EQ(Join({ "No services configured" }, FixedTail), MenuTexts(TrayMenu));
    EXPECT_TRUE(TopItem(0).grayed);
    EXPECT_EQ(0, BuiltMenuCount);
}

TEST_F(MenuTest, StoppedServiceOffersStartOnly)
{
    LoadServices("stopped", 1);
    TrayEntries[0].State = Stopped;
    BuildTrayMenu(PollSucceeded);

    EXPECT_EQ(Join({ "VM 0" }, FixedTail), MenuTexts(TrayMenu));
    MenuItem top = TopItem(0);
    EXPECT_FALSE(top.grayed);
    EXPECT_EQ((UINT)Stopped, top.id);
    EXPECT_EQ(ServiceMenus[0], top.submenu);

    std::vector<MenuItem> items = ServiceItems(0);
    EXPECT_EQ(ServiceCommands, MenuTexts(top.submenu));
    const UINT offsets[] = { CommandStart, CommandStop, 0, 0, CommandVrdpConsole, CommandOpenConfig,
                             CommandShowLog, CommandClearLog, 0, CommandAutostart };
    for (size_t i = 0; i < items.size(); i++) {
        if (offsets[i] != 0) {
            EXPECT_EQ(ServiceCommandId(0, offsets[i]), items[i].id) << items[i].text;
        }
    }
    EXPECT_FALSE(items[0].grayed);           // Start
    EXPECT_TRUE(items[1].grayed);            // Stop
    EXPECT_TRUE(items[2].grayed);            // Stop with
    EXPECT_EQ(StopWithMenus[0], items[2].submenu);
    EXPECT_TRUE(items[4].grayed);            // VRDP console
    EXPECT_FALSE(items[5].grayed);           // Open config file
    EXPECT_TRUE(items[6].grayed);            // Show log: no log yet
    EXPECT_TRUE(items[7].grayed);            // Clear log
    EXPECT_FALSE(items[9].grayed);           // Autostart
    EXPECT_FALSE(items[9].checked);
}

TEST_F(MenuTest, RunningServiceOffersStopAndStopWith)
{
    LoadServices("running", 1);
    TrayEntries[0].State = Running;
    TrayEntries[0].Autostart = 1;
    BuildTrayMenu(PollSucceeded);

    EXPECT_EQ((UINT)Running, TopItem(0).id);
    std::vector<MenuItem> items = ServiceItems(0);
    EXPECT_TRUE(items[0].grayed);   // Start
    EXPECT_FALSE(items[1].grayed);  // Stop
    EXPECT_FALSE(items[2].grayed);  // Stop with
    EXPECT_TRUE(items[4].grayed);   // VRDP console: no service answers
    EXPECT_TRUE(items[9].checked);  // Autostart

    std::vector<MenuItem> stopWith = ReadMenu(items[2].submenu);
    EXPECT_EQ(Texts({ "Save state", "ACPI sleep", "ACPI power", "Power off" }), MenuTexts(items[2].submenu));
    const UINT methods[] = { TrayStopSaveState, TrayStopAcpiSleepButton, TrayStopAcpiPowerButton, TrayStopPowerOff };
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(ServiceCommandId(0, methods[i]), stopWith[i].id);
        EXPECT_FALSE(stopWith[i].grayed);
    }
    EXPECT_EQ(-1, DefaultItemPosition(items[2].submenu));
}

TEST_F(MenuTest, PendingPausedOrUnreadServicesOfferNeitherStartNorStop)
{
    LoadServices("pending", 3);
    TrayEntries[0].State = StartPending;
    TrayEntries[1].State = StopPending;
    TrayEntries[2].State = Undetermined;
    BuildTrayMenu(PollSucceeded);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ((UINT)TrayEntries[i].State, TopItem(i).id);
        std::vector<MenuItem> items = ServiceItems(i);
        ASSERT_EQ(ServiceCommands.size(), items.size());
        EXPECT_TRUE(items[0].grayed);
        EXPECT_TRUE(items[1].grayed);
        EXPECT_TRUE(items[2].grayed);
        EXPECT_FALSE(items[5].grayed);
        EXPECT_FALSE(items[9].grayed);
    }
}

TEST_F(MenuTest, VrdpConsoleIsOfferedForRunningMachinesWithTheirRemoteDisplayEnabled)
{
    vmStem = UniqueVmName("Menu console") + " ";
    LoadServices("console", 1);
    // Only a running service is asked, and only on its own pipe.
    const struct {
        int state, pollResult;
        bool listening;
        DWORD enabled;
        std::string item;
        size_t asked = 0;
        bool otherProcess = false; // the scripted server runs in this process
    } rows[] = {
        { Running, PollSucceeded, true, 1, "offered", 1 },     { Running, PollSucceeded, true, 0, "grayed", 1 },
        { Running, PollSucceeded, false, 0, "grayed" },        { Stopped, PollSucceeded, true, 1, "grayed" },
        { StartPending, PollSucceeded, true, 1, "grayed" },    { StopPending, PollSucceeded, true, 1, "grayed" },
        { Undetermined, PollSucceeded, true, 1, "grayed" },    { ServiceNotFound, PollSucceeded, true, 1, "absent" },
        { NotConfigured, PollSucceeded, true, 1, "absent" },   { Running, PollManagerAccessDenied, true, 1, "absent" },
        { Running, PollSucceeded, true, 1, "grayed", 0, true }, // another program's pipe
    };
    for (const auto &row : rows) {
        std::unique_ptr<ScriptedPipeServer> server(
            row.listening ? new ScriptedPipeServer(TrayEntries[0].VmName, { { VrdeEnabled, row.enabled } }) : NULL);
        TrayEntries[0].State = row.state;
        TrayEntries[0].ProcessId = GetCurrentProcessId() + (row.otherProcess ? 4 : 0);
        BuildTrayMenu(row.pollResult);
        std::vector<MenuItem> items = ServiceItems(0);
        bool listed = items.size() > 4 && items[4].text == "VRDP console";
        EXPECT_EQ(row.item, !listed ? "absent" : items[4].grayed ? "grayed" : "offered") << row.state;
        if (server) {
            EXPECT_EQ(row.asked, server->Requests().size()) << row.state;
        }
    }
}

// One click asks every running service at once: it waits for the slowest
// answer, and six that never answer cost it one deadline in all, not six.
TEST_F(MenuTest, AClickAsksAllRunningServicesTogetherUnderOneDeadline)
{
    vmStem = UniqueVmName("Menu together") + " ";
    LoadServices("together", 8);
    const DWORD delays[] = { 0, NEVER_REPLY, NEVER_REPLY, NEVER_REPLY, 200, NEVER_REPLY, NEVER_REPLY, NEVER_REPLY };
    std::vector<std::unique_ptr<ScriptedPipeServer>> servers;
    for (int i = 0; i < 8; i++) {
        servers.emplace_back(new ScriptedPipeServer(TrayEntries[i].VmName, { { VrdeEnabled, 1 } }, delays[i]));
        TrayEntries[i].State = Running;
        TrayEntries[i].ProcessId = GetCurrentProcessId();
    }
    DWORD start = GetTickCount();
    BuildTrayMenu(PollSucceeded);
    // Asked one after another they would cost six deadlines: five leave a
    // busy machine all the room it may need.
    EXPECT_LT(GetTickCount() - start, (DWORD)(5 * PIPE_DEADLINE_MS));
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(delays[i] == NEVER_REPLY, ServiceItems(i)[4].grayed) << i;
        EXPECT_EQ(1u, servers[i]->Requests().size()) << i;
    }
}

TEST_F(MenuTest, ConfiguredStopMethodIsTheDefaultStopWithItem)
{
    const char *words[] = { "savestate", "AcpiSleepButton", "ACPIPOWERBUTTON", "poweroff", "powerof" };
    const int positions[] = { 0, 1, 2, 3, -1 };
    folder = MakeTestFolder("tray menu defaults");
    UseTrayFolder(folder);
    std::string ini;
    for (int i = 0; i < 5; i++) {
        std::string file = folder + "vm" + std::to_string(i) + ".ini";
        WriteTextFile(file, ServiceIni("VM", std::string("ShutdownCommand=") + words[i] + "\r\n"));
        ini += "[s" + std::to_string(i) + "]\r\nConfigFile=" + file + "\r\n";
    }
    WriteTextFile(folder + "pelorintray.ini", ini);
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    for (int i = 0; i < 5; i++)
        TrayEntries[i].State = Running;
    BuildTrayMenu(PollSucceeded);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(positions[i], DefaultItemPosition(StopWithMenus[i])) << words[i];
}

TEST_F(MenuTest, EntriesThatCannotBeControlledExplainWhy)
{
    LoadServices("explained", 4);
    TrayEntries[0].State = NotConfigured;
    TrayEntries[1].State = ConfigNotFound;
    TrayEntries[2].State = ServiceNotFound;
    TrayEntries[3].State = ServiceNotFound;
    TrayEntries[3].AccessDenied = 1; // a denial concerns its own entry only
    BuildTrayMenu(PollSucceeded);
    const char *reasons[] = { "Not configured", "Configuration file not found", "Service not found",
                              "Service access denied" };
    for (int i = 0; i < 4; i++) {
        MenuItem top = TopItem(i);
        EXPECT_FALSE(top.grayed);
        EXPECT_EQ((UINT)TrayEntries[i].State, top.id);
        std::vector<MenuItem> items = ReadMenu(top.submenu);
        ASSERT_EQ(1u, items.size());
        EXPECT_EQ(reasons[i], items[0].text);
        EXPECT_TRUE(items[0].grayed);
        EXPECT_TRUE(StopWithMenus[i] == NULL);
    }
}

TEST_F(MenuTest, ManagerAccessDeniedMarksEveryServiceNotFound)
{
    LoadServices("manager denied", 2);
    TrayEntries[0].State = Running;
    TrayEntries[1].State = Stopped;
    BuildTrayMenu(PollManagerAccessDenied);
    for (int i = 0; i < 2; i++) {
        std::vector<MenuItem> items = ServiceItems(i);
        ASSERT_EQ(1u, items.size());
        EXPECT_EQ("Service Control Manager access denied", items[0].text);
        EXPECT_TRUE(items[0].grayed);
        EXPECT_EQ(ServiceNotFound, TrayEntries[i].State);
        EXPECT_EQ((UINT)ServiceNotFound, TopItem(i).id);
    }
}

TEST_F(MenuTest, ExistingLogEnablesShowLogAndClearLog)
{
    LoadServices("log", 2);
    WriteTextFile(folder + "vm1.log", "[01/01/70 00:00:00] started\r\n");
    TrayEntries[0].State = Stopped;
    TrayEntries[1].State = Stopped;
    BuildTrayMenu(PollSucceeded);
    EXPECT_TRUE(ServiceItems(0)[6].grayed);
    EXPECT_TRUE(ServiceItems(0)[7].grayed);
    EXPECT_FALSE(ServiceItems(1)[6].grayed);
    EXPECT_FALSE(ServiceItems(1)[7].grayed);
}

TEST_F(MenuTest, OnVistaAndLaterEachStateIsConvertedOnceForAllItemsAndMenus)
{
    LoadServices("pictures vista", 4);
    const int states[] = { Running, ConfigNotFound, Running, Undetermined };
    HBITMAP first[MENU_BITMAP_SLOTS];
    for (int build = 0; build < 2; build++) {
        for (int i = 0; i < 4; i++)
            TrayEntries[i].State = states[i];
        BuildTrayMenu(PollSucceeded);
        for (int i = 0; i < 4; i++) {
            EXPECT_TRUE(TopItem(i).bitmap != NULL) << i;
            EXPECT_TRUE(TopItem(i).bitmap == MenuBitmapCache[states[i]]) << i;
        }
        if (build == 0)
            std::copy(MenuBitmapCache, MenuBitmapCache + MENU_BITMAP_SLOTS, first);
    }
    EXPECT_TRUE(std::equal(first, first + MENU_BITMAP_SLOTS, MenuBitmapCache));
    EXPECT_EQ(3, MENU_BITMAP_SLOTS - std::count(first, first + MENU_BITMAP_SLOTS, (HBITMAP)NULL));
    // A state without an icon keeps a blank, fully transparent bitmap.
    EXPECT_EQ(Pixels(256, 0), BitmapPixels(MenuBitmapCache[Undetermined]));
}

HBITMAP WINAPI FailToCreateDib(HDC, const BITMAPINFO *, UINT, void **, HANDLE, DWORD)
{
    return NULL;
}

TEST_F(MenuTest, WithoutAConversionTheItemHasNoPictureAndTheNextBuildTriesAgain)
{
    LoadServices("pictures failed", 1);
    TrayEntries[0].State = Stopped;
    void *createDib = NULL;
    const struct {
        const char *name;
        std::function<void()> fail, mend;
    } causes[] = {
        { "no DIB section", [&]() { createDib = ReplaceImport("gdi32.dll", "CreateDIBSection", (void *)FailToCreateDib); },
          [&]() { ReplaceImport("gdi32.dll", "CreateDIBSection", createDib); } },
        { "no buffered paint", []() { UxBeginBufferedPaint = NULL; },
          []() { LoadBufferedPaintFunctions(6); } },
    };
    for (const auto &cause : causes) {
        cause.fail();
        BuildTrayMenu(PollSucceeded);
        cause.mend();
        EXPECT_TRUE(TopItem(0).bitmap == NULL) << cause.name;
        EXPECT_TRUE(MenuBitmapCache[Stopped] == NULL) << cause.name;
        EXPECT_EQ(Join({ "VM 0" }, FixedTail), MenuTexts(TrayMenu)) << cause.name;
        EXPECT_EQ(ServiceCommands, MenuTexts(ServiceMenus[0])) << cause.name;
        BuildTrayMenu(PollSucceeded);
        EXPECT_TRUE(TopItem(0).bitmap != NULL && TopItem(0).bitmap == MenuBitmapCache[Stopped]) << cause.name;
        FreeMenuBitmaps();
    }
}

TEST_F(MenuTest, BeforeVistaTheServiceItemsAreDrawnByTheOwner)
{
    WindowsMajorVersion = 5;
    LoadServices("pictures xp", 2);
    TrayEntries[0].State = Running;
    TrayEntries[1].State = ConfigNotFound;
    BuildTrayMenu(PollSucceeded);
    for (int i = 0; i < 2; i++) {
        EXPECT_TRUE(TopItem(i).bitmap == HBMMENU_CALLBACK);
        EXPECT_EQ((UINT)TrayEntries[i].State, TopItem(i).id);
    }
    // The program's own commands stay plain.
    EXPECT_TRUE(TopItem(3).bitmap == NULL);
}

TEST_F(MenuTest, DestroyReleasesEveryMenuOfTheLastBuild)
{
    LoadServices("destroy", 2);
    TrayEntries[0].State = Running;
    TrayEntries[1].State = NotConfigured;
    BuildTrayMenu(PollSucceeded);
    HMENU top = TrayMenu;
    HMENU service0 = ServiceMenus[0];
    HMENU stopWith0 = StopWithMenus[0];
    HMENU service1 = ServiceMenus[1];
    ASSERT_TRUE(IsMenu(top) && IsMenu(service0) && IsMenu(stopWith0) && IsMenu(service1));
    // Detached, the submenus no longer go with the menus that held them.
    RemoveMenu(top, 0, MF_BYPOSITION);
    RemoveMenu(service0, 2, MF_BYPOSITION);

    DestroyTrayMenu();
    EXPECT_FALSE(IsMenu(top));
    EXPECT_FALSE(IsMenu(service0));
    EXPECT_FALSE(IsMenu(stopWith0));
    EXPECT_FALSE(IsMenu(service1));
    EXPECT_TRUE(TrayMenu == NULL);
    EXPECT_EQ(0, BuiltMenuCount);
    // A second destroy, as Close after a reload may do, is harmless.
    DestroyTrayMenu();
}

TEST_F(MenuTest, MostServicesThatCanBeNumberedAllGetDistinctCommands)
{
    folder = MakeTestFolder("tray menu most");
    UseTrayFolder(folder);
    WriteTextFile(folder + "shared.ini", ServiceIni("shared"));
    WriteTextFile(folder + "last.ini", ServiceIni("last"));
    WriteTextFile(folder + "last.log", "x");
    WriteTextFile(folder + "shared.log", "x");
    std::string ini;
    for (int i = 0; i < MAX_TRAY_ENTRIES + 2; i++) {
        std::string file = i == MAX_TRAY_ENTRIES - 1 ? "last.ini" : "shared.ini";
        ini += "[s" + std::to_string(i) + "]\r\nConfigFile=" + folder + file + "\r\n";
    }
    WriteTextFile(folder + "pelorintray.ini", ini);
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(MAX_TRAY_ENTRIES, TrayEntryCount);
    BuildTrayMenu(PollSucceeded);
    ASSERT_EQ(MAX_TRAY_ENTRIES, BuiltMenuCount);

    std::vector<MenuItem> last = ReadMenu(ServiceMenus[MAX_TRAY_ENTRIES - 1]);
    EXPECT_EQ(ServiceCommands, MenuTexts(ServiceMenus[MAX_TRAY_ENTRIES - 1]));
    EXPECT_EQ(65531u, last[7].id); // Clear log of index 3226: the highest identifier
    EXPECT_EQ(MAX_TRAY_ENTRIES + 6, GetMenuItemCount(TrayMenu));
}

TEST_F(MenuTest, OwnerDrawingMeasuresRoomForTheIcon)
{
    MEASUREITEMSTRUCT small = {};
    small.CtlType = ODT_MENU;
    small.itemWidth = 10;
    small.itemHeight = 15;
    TrayDialogProc(NULL, WM_MEASUREITEM, 0, (LPARAM)&small);
    EXPECT_EQ(13u, small.itemWidth);
    EXPECT_EQ(16u, small.itemHeight);

    MEASUREITEMSTRUCT tall = {};
    tall.CtlType = ODT_MENU;
    tall.itemWidth = 0;
    tall.itemHeight = 20;
    TrayDialogProc(NULL, WM_MEASUREITEM, 0, (LPARAM)&tall);
    EXPECT_EQ(3u, tall.itemWidth);
    EXPECT_EQ(20u, tall.itemHeight);
}

// Draws state `state` through the dialog procedure into a 64 x 24 bitmap
// filled with a marker colour and returns its pixels (top-down, 0x00RRGGBB).
std::vector<DWORD> DrawItem(UINT ctlType, int state)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = 64;
    info.bmiHeader.biHeight = -24;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void *bits = NULL;
    HDC dc = CreateCompatibleDC(NULL);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ previous = SelectObject(dc, bitmap);
    DWORD *pixels = (DWORD *)bits;
    for (int i = 0; i < 64 * 24; i++)
        pixels[i] = 0x00FF00FF;

    DRAWITEMSTRUCT item = {};
    item.CtlType = ctlType;
    item.itemID = (UINT)state;
    item.hDC = dc;
    item.rcItem.left = 20;
    item.rcItem.top = 2;
    item.rcItem.right = 60;
    item.rcItem.bottom = 22;
    TrayDialogProc(NULL, WM_DRAWITEM, 0, (LPARAM)&item);
    GdiFlush();
    std::vector<DWORD> copy(pixels, pixels + 64 * 24);
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return copy;
}

int ChangedPixels(const std::vector<DWORD> &pixels, int left, int top, int right, int bottom)
{
    int changed = 0;
    for (int y = top; y < bottom; y++) {
        for (int x = left; x < right; x++) {
            if ((pixels[y * 64 + x] & 0xFFFFFF) != 0xFF00FF)
                changed++;
        }
    }
    return changed;
}

TEST_F(MenuTest, OwnerDrawingPutsTheStateIconLeftOfTheItem)
{
    std::vector<DWORD> running = DrawItem(ODT_MENU, Running);
    // The icon fills x 4 to 19 and y 4 to 19 (centred on the item's 2 to 22).
    EXPECT_GT(ChangedPixels(running, 4, 4, 20, 20), 150);
    EXPECT_EQ(0, ChangedPixels(running, 20, 0, 64, 24));
    EXPECT_EQ(0, ChangedPixels(running, 0, 0, 4, 24));
    EXPECT_EQ(0, ChangedPixels(running, 0, 0, 64, 4));
    // The green triangle of the running icon.
    DWORD centre = running[12 * 64 + 12];
    EXPECT_GT((centre >> 8) & 0xFF, (centre >> 16) & 0xFF);

    std::vector<DWORD> error = DrawItem(ODT_MENU, ServiceNotFound);
    DWORD red = error[12 * 64 + 8];
    EXPECT_GT((red >> 16) & 0xFF, (red >> 8) & 0xFF);
}

TEST_F(MenuTest, OwnerDrawingDrawsNothingForStatesWithoutIconOrOtherControls)
{
    EXPECT_EQ(0, ChangedPixels(DrawItem(ODT_MENU, Undetermined), 0, 0, 64, 24));
    EXPECT_EQ(0, ChangedPixels(DrawItem(ODT_MENU, 0), 0, 0, 64, 24));
    EXPECT_EQ(0, ChangedPixels(DrawItem(ODT_BUTTON, Running), 0, 0, 64, 24));
}

} // namespace
