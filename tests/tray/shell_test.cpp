// The tray helper in the Wine desktop's taskbar: its icon and tooltip, real
// clicks on the icon, the taskbar's restart message, Close, and a second copy.
// The dialog runs in this process, so that the menu it shows can be read
// here; clicks come from xdotool, screenshots from ImageMagick's import, both
// started as Unix programs. Screenshots are kept in <build>/test-artifacts.
#include <gtest/gtest.h>

#include <deque>

#include <windows.h>
#include <commctrl.h>
#include <sddl.h>

#include "command_ids.h"
#include "control_pipe.h"
#include "import_hook.h"
#include "local_http.h"
#include "message_box_answerer.h"
#include "pipe_client.h"
#include "process_probe.h"
#include "resource.h"
#include "scripted_pipe.h"
#include "service_list.h"
#include "test_support.h"
#include "tray_menu.h"
#include "tray_shell.h"
#include "tray_test_support.h"
#include "update_check.h"

namespace {

// Starts a Unix program (Wine starts those too). Wine gives no handles for
// one (the record is left as it was), so nothing can wait for it, and the
// record starts zeroed: closing what the stack held there closed handles of
// this program's own in the shipped build's tests.
bool StartUnix(const std::string &commandLine)
{
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(NULL, line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// <build>\test-artifacts\<name>.png
std::string ArtifactPath(const std::string &name)
{
    std::string bin = BuiltProgramPath("");
    std::string folder = bin.substr(0, bin.rfind('\\', bin.size() - 2) + 1) + "test-artifacts";
    CreateDirectoryA(folder.c_str(), NULL);
    return folder + "\\" + name + ".png";
}

// The same path for Unix programs: the build lies on drive Z:, which is "/".
std::string UnixPath(const std::string &path)
{
    std::string unix = path.size() > 2 && path[1] == ':' ? path.substr(2) : path;
    for (char &c : unix) {
        if (c == '\\')
            c = '/';
    }
    return unix;
}

// Captures the screen into the artifacts, dispatching messages meanwhile so
// that the windows of this thread stay painted. The picture is written under
// another name and renamed when complete, which tells that it is done.
void Screenshot(const std::string &name)
{
    std::string path = ArtifactPath(name);
    DeleteFileA(path.c_str());
    std::string target = UnixPath(path);
    StartUnix("/bin/sh -c \"/usr/bin/import -window root 'png:" + target + ".part' && mv '" + target + ".part' '" +
              target + "'\"");
    EXPECT_TRUE(PumpMessagesUntil([&]() { return FileExists(path); }, 20000)) << "no screenshot " << path;
}

struct ShellIcon {
    std::string tip;
    RECT rect; // screen coordinates
};

// TTTOOLINFOA as a 64-bit process lays it out: the taskbar's explorer is
// 64-bit, and the 32-bit test build writes the record into its memory too.
struct ToolInfo64 {
    UINT cbSize;
    UINT uFlags;
    UINT64 hwnd;
    UINT64 uId;
    RECT rect;
    UINT64 hinst;
    UINT64 lpszText;
    UINT64 lParam;
    UINT64 lpReserved;
};
static_assert(sizeof(ToolInfo64) == 72, "TTTOOLINFOA of a 64-bit process");

// The notification icons that the taskbar shows, read from its tooltips: the
// taskbar keeps one tool per icon, with the icon's rectangle and its tip.
std::vector<ShellIcon> ReadShellIcons()
{
    std::vector<ShellIcon> icons;
    HWND taskbar = FindWindowA("Shell_TrayWnd", NULL);
    if (taskbar == NULL)
        return icons;
    DWORD explorer = 0;
    GetWindowThreadProcessId(taskbar, &explorer);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, explorer);
    if (process == NULL)
        return icons;
    char *remote = (char *)VirtualAllocEx(process, NULL, 4096, MEM_COMMIT, PAGE_READWRITE);
    for (HWND tip = FindWindowExA(NULL, NULL, "tooltips_class32", NULL); tip != NULL && remote != NULL;
         tip = FindWindowExA(NULL, tip, "tooltips_class32", NULL)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(tip, &owner);
        if (owner != explorer)
            continue;
        int tools = (int)SendMessageA(tip, TTM_GETTOOLCOUNT, 0, 0);
        for (int i = 0; i < tools; i++) {
            ToolInfo64 tool;
            ZeroMemory(&tool, sizeof(tool));
            tool.cbSize = sizeof(tool);
            tool.lpszText = (UINT64)(ULONG_PTR)(remote + 1024);
            char text[1024] = "";
            WriteProcessMemory(process, remote, &tool, sizeof(tool), NULL);
            WriteProcessMemory(process, remote + 1024, text, sizeof(text), NULL);
            if (!SendMessageA(tip, TTM_ENUMTOOLSA, i, (LPARAM)remote))
                continue;
            ReadProcessMemory(process, remote, &tool, sizeof(tool), NULL);
            ReadProcessMemory(process, remote + 1024, text, sizeof(text) - 1, NULL);
            if (IsRectEmpty(&tool.rect))
                continue; // an icon that was removed
            ShellIcon icon;
            icon.tip = text;
            icon.rect = tool.rect;
            MapWindowPoints((HWND)(ULONG_PTR)tool.hwnd, NULL, (POINT *)&icon.rect, 2);
            icons.push_back(icon);
        }
    }
    if (remote != NULL)
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return icons;
}

// The one icon the taskbar shows, once its tip reads `tip`.
bool WaitForIcon(const std::string &tip, ShellIcon *found = NULL)
{
    return PumpMessagesUntil([&]() {
        std::vector<ShellIcon> icons = ReadShellIcons();
        if (icons.size() != 1 || icons[0].tip != tip)
            return false;
        if (found != NULL)
            *found = icons[0];
        return true;
    });
}

bool WaitForNoIcon()
{
    return PumpMessagesUntil([]() { return ReadShellIcons().empty(); });
}

// Whether the shell still holds our icon: a modify that changes nothing.
bool ShellHasOurIcon()
{
    NOTIFYICONDATAA probe = TrayIcon;
    probe.uFlags = 0;
    return Shell_NotifyIconA(NIM_MODIFY, &probe) != FALSE;
}

// What the timer saw while the menu was up.
struct ShownMenu {
    DWORD clicked = 0;   // tick count before the click
    DWORD firstSeen = 0; // when the menu was first seen up
    bool shown = false;
    HMENU menu = NULL;
    HMENU trayMenu = NULL;
    std::vector<MenuItem> items;
    std::vector<MenuItem> firstSubmenu;
    RECT rect = {};
    std::string artifact;
    HWND dialog = NULL;
    bool keptAfterAnotherClick = false; // the menu survived a click while it was up
    bool updateCheckRunning = false;    // when the menu was first seen
};
ShownMenu *Shown;

void CALLBACK ReadShownMenu(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND window = FindWindowA("#32768", NULL);
    if (window == NULL || !IsWindowVisible(window))
        return;
    // The menu paints in this thread's menu loop: let it run before the picture.
    if (Shown->firstSeen == 0) {
        Shown->firstSeen = GetTickCount();
        Shown->updateCheckRunning = UpdateCheck.Running != 0;
    }
    if (GetTickCount() - Shown->firstSeen < 400)
        return;
    KillTimer(NULL, timer);
    Shown->menu = (HMENU)SendMessageA(window, MN_GETHMENU, 0, 0);
    Shown->trayMenu = TrayMenu;
    Shown->items = ReadMenu(Shown->menu);
    if (!Shown->items.empty() && Shown->items[0].submenu != NULL)
        Shown->firstSubmenu = ReadMenu(Shown->items[0].submenu);
    GetWindowRect(window, &Shown->rect);
    Screenshot(Shown->artifact);
    // The menu's loop dispatches the shell's notifications, clicks included.
    SendMessageA(Shown->dialog, WM_TRAYICON, 1, WM_LBUTTONUP);
    Shown->keptAfterAnotherClick = TrayMenu == Shown->menu && IsMenu(Shown->menu);
    Shown->shown = true;
    EndMenu();
}

// Clicks the middle of a rectangle of the screen with X button 1 (left) or 3 (right).
void ClickAt(const RECT &rect, int button)
{
    StartUnix("/usr/bin/xdotool mousemove " + std::to_string((rect.left + rect.right) / 2) + " " +
              std::to_string((rect.top + rect.bottom) / 2) + " click " + std::to_string(button));
}

// Clicks the icon and reads the menu that opens; returns once the menu has
// closed again.
ShownMenu ClickIcon(HWND dialog, const ShellIcon &icon, int button, const std::string &artifact)
{
    ShownMenu shown;
    shown.artifact = artifact;
    shown.dialog = dialog;
    Shown = &shown;
    SetTimer(NULL, 0, 50, ReadShownMenu);
    shown.clicked = GetTickCount();
    ClickAt(icon.rect, button);
    PumpMessagesUntil([&]() { return shown.shown; });
    Shown = NULL;
    return shown;
}

class ShellTest : public TrayTest {
protected:
    std::string folder;
    HWND dialog = NULL;
    std::deque<TestService> services; // references to its elements stay valid

    void SetUp() override
    {
        TrayTest::SetUp();
        // The taskbar must be up before an icon is added: nothing retries the add.
        ASSERT_TRUE(PumpMessagesUntil([]() { return FindWindowA("Shell_TrayWnd", NULL) != NULL; }))
            << "no taskbar; explorer.exe processes running: " << ProcessesNamed("explorer.exe").size();
        ASSERT_TRUE(WaitForNoIcon()) << "an icon of an earlier test is left";
    }

    void TearDown() override
    {
        if (dialog != NULL) {
            DestroyTrayMenu();
            CleanupTray();
            DestroyWindow(dialog);
        }
        for (const TestService &service : services)
            RemoveServiceIfPresent(service.name);
        TrayTest::TearDown();
    }

    void UseFolder(const std::string &name)
    {
        folder = MakeTestFolder("tray shell " + name);
        UseTrayFolder(folder);
    }

    TestService &ListService(const std::string &name)
    {
        services.push_back(InstallTestService(folder, name));
        WriteTextFile(folder + "pelorintray.ini", "[" + name + "]\r\nConfigFile=" + services.back().ini + "\r\n");
        return services.back();
    }

    // What the program's entry does between the mutex and the message loop.
    void StartDialog()
    {
        StartTrayShell(GetModuleHandleA(NULL));
        dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_TRAY), NULL, TrayDialogProc, 0);
        ASSERT_TRUE(dialog != NULL);
        EXPECT_FALSE(IsWindowVisible(dialog));
    }
};

TEST_F(ShellTest, IconAppearsWithItsTooltipAndBothClicksPollAndShowTheMenu)
{
    UseFolder("clicks");
    TestService &service = ListService("TrayShellClicks");
    StartDialog();
    ShellIcon icon;
    ASSERT_TRUE(WaitForIcon("No VirtualBox machines running", &icon));
    EXPECT_EQ(Stopped, TrayEntries[0].State);

    // Hovering shows the tooltip.
    int x = (icon.rect.left + icon.rect.right) / 2;
    int y = (icon.rect.top + icon.rect.bottom) / 2;
    StartUnix("/usr/bin/xdotool mousemove " + std::to_string(x - 30) + " " + std::to_string(y) + " mousemove " +
              std::to_string(x) + " " + std::to_string(y));
    PumpMessagesUntil([]() { return false; }, 1500);
    Screenshot("tray-tooltip");

    // The service starts behind the tray's back; only a click shows it.
    ASSERT_EQ(0u, StartServiceByName(service.name));
    ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(service.name, SERVICE_RUNNING));
    ShownMenu left = ClickIcon(dialog, icon, 1, "tray-left-click");
    ASSERT_TRUE(left.shown);
    EXPECT_TRUE(left.menu == left.trayMenu);
    EXPECT_TRUE(left.keptAfterAnotherClick);
    ASSERT_EQ(7u, left.items.size());
    EXPECT_EQ("TrayShellClicks VM", left.items[0].text);
    EXPECT_EQ((UINT)Running, left.items[0].id);
    EXPECT_EQ("Close", left.items[6].text);
    ASSERT_EQ(10u, left.firstSubmenu.size());
    EXPECT_TRUE(left.firstSubmenu[0].grayed);  // Start
    EXPECT_FALSE(left.firstSubmenu[1].grayed); // Stop
    // Bottom-aligned at the mouse, which is on the taskbar.
    EXPECT_LE(left.rect.bottom, icon.rect.bottom);
    EXPECT_TRUE(WaitForIcon("1 VirtualBox machine running"));

    SetTestServiceState(service, "stopped");
    ASSERT_EQ((DWORD)SERVICE_STOPPED, WaitForServiceState(service.name, SERVICE_STOPPED));
    ShownMenu right = ClickIcon(dialog, icon, 3, "tray-right-click");
    ASSERT_TRUE(right.shown);
    EXPECT_TRUE(right.menu == right.trayMenu);
    ASSERT_EQ(7u, right.items.size());
    EXPECT_EQ((UINT)Stopped, right.items[0].id);
    ASSERT_EQ(10u, right.firstSubmenu.size());
    EXPECT_FALSE(right.firstSubmenu[0].grayed); // Start
    EXPECT_TRUE(WaitForIcon("No VirtualBox machines running"));
}

TEST_F(ShellTest, AServiceThatAnswersLateOrNeverDelaysTheMenuByTheBoundAtMostAndGraysVrdpConsole)
{
    UseFolder("late pipe");
    TestService &service = ListService("TrayShellLatePipe");
    // The service serves its pipe from its own process, as pelorin does.
    WritePrivateProfileStringA("TestService", "PipeReply", "1", service.ini.c_str());
    ASSERT_EQ(0u, StartServiceByName(service.name));
    ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(service.name, SERVICE_RUNNING));
    StartDialog();
    ShellIcon icon;
    ASSERT_TRUE(WaitForIcon("1 VirtualBox machine running", &icon));
    const struct {
        const char *artifact;
        DWORD delay;
        bool grayed;
    } servers[] = {
        { "tray-pipe-answers-at-once", 0, false },
        { "tray-pipe-answers-after-10s", 10000, true },
        { "tray-pipe-never-answers", NEVER_REPLY, true },
    };
    for (const auto &server : servers) {
        std::string delay = server.delay == NEVER_REPLY ? "never" : std::to_string(server.delay);
        WritePrivateProfileStringA("TestService", "PipeDelayMs", delay.c_str(), service.ini.c_str());
        ShownMenu shown = ClickIcon(dialog, icon, 3, server.artifact);
        ASSERT_TRUE(shown.shown) << server.artifact;
        // Sooner than the late service answers: the click did not wait for it.
        EXPECT_LT(shown.firstSeen - shown.clicked, (DWORD)10000) << server.artifact;
        ASSERT_EQ(10u, shown.firstSubmenu.size()) << server.artifact;
        EXPECT_EQ("VRDP console", shown.firstSubmenu[4].text);
        EXPECT_EQ(server.grayed, shown.firstSubmenu[4].grayed) << server.artifact;
    }
}

int MenusShown;

// Counts the menus instead of showing them.
BOOL WINAPI CountMenu(HMENU, UINT, int, int, int, HWND, const RECT *)
{
    MenusShown++;
    return FALSE;
}

TEST_F(ShellTest, ReleasedButtonsAndTheKeyboardShowTheMenuOnceAndOtherNotificationsNothing)
{
    ImportReplaced counting("user32.dll", "TrackPopupMenu", (void *)CountMenu);
    // NIN_SELECT: Enter on an icon chosen with the mouse, or a left click
    // after its release (still one menu); NIN_KEYSELECT: Enter or Space.
    const struct {
        std::vector<UINT> notifications;
        int menus;
    } rows[] = {
        { { NIN_SELECT }, 1 }, { { NIN_KEYSELECT }, 1 }, { { WM_RBUTTONUP }, 1 },
        { { WM_LBUTTONDOWN, WM_LBUTTONUP, NIN_SELECT }, 1 },
        { { WM_LBUTTONUP, WM_MOUSEMOVE, NIN_SELECT }, 2 },
        { { WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONDBLCLK, WM_MOUSEMOVE, WM_CONTEXTMENU,
            WM_MBUTTONUP },
          0 },
    };
    for (const auto &row : rows) {
        MenusShown = 0;
        strcpy(TrayIcon.szTip, "unchanged");
        for (UINT notification : row.notifications)
            TrayDialogProc(NULL, WM_TRAYICON, 1, notification);
        EXPECT_EQ(row.menus, MenusShown) << row.notifications[0];
        // Each menu is shown after a poll.
        EXPECT_EQ(row.menus == 0, strcmp(TrayIcon.szTip, "unchanged") == 0) << row.notifications[0];
    }
}

TEST_F(ShellTest, TaskbarCreatedKeepsTheCountOfAShownIconAndBringsALostOneBack)
{
    UseFolder("taskbar created");
    TestService &service = ListService("TrayShellRestart");
    ASSERT_EQ(0u, StartServiceByName(service.name));
    ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(service.name, SERVICE_RUNNING));
    StartDialog();
    ASSERT_TRUE(WaitForIcon("1 VirtualBox machine running"));
    UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    ASSERT_EQ(taskbarCreated, TaskbarCreatedMessage);

    // The shell still shows the icon: the add fails, and the icon stays, once,
    // with its count. The icon is loaded afresh when the message is handled.
    HICON before = TrayIcon.hIcon;
    SendNotifyMessageA(HWND_BROADCAST, taskbarCreated, 0, 0);
    ASSERT_TRUE(PumpMessagesUntil([&]() { return TrayIcon.hIcon != before; }));
    EXPECT_STREQ("1 VirtualBox machine running", TrayIcon.szTip);
    EXPECT_TRUE(WaitForIcon("1 VirtualBox machine running"));
    EXPECT_TRUE(ShellHasOurIcon());

    // A shell that lost the icon gets it back, still with the last count.
    Shell_NotifyIconA(NIM_DELETE, &TrayIcon);
    ASSERT_TRUE(WaitForNoIcon());
    SendNotifyMessageA(HWND_BROADCAST, taskbarCreated, 0, 0);
    EXPECT_TRUE(WaitForIcon("1 VirtualBox machine running"));
    EXPECT_TRUE(ShellHasOurIcon());
}

TEST_F(ShellTest, CloseRemovesTheIconAndEndsTheLoopWithZero)
{
    UseFolder("close");
    ListService("TrayShellClose");
    StartDialog();
    ASSERT_TRUE(WaitForIcon("No VirtualBox machines running"));
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDM_CLOSE, 0), 0);
    EXPECT_TRUE(TrayMenu == NULL);
    EXPECT_FALSE(ShellHasOurIcon());
    EXPECT_TRUE(WaitForNoIcon());
    MSG message;
    ASSERT_TRUE(PeekMessageA(&message, NULL, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(0u, message.wParam);
}

void CALLBACK EndAnyMenu(HWND, UINT, UINT_PTR, DWORD)
{
    EndMenu();
}

TEST_F(ShellTest, AfterCloseNothingQueuedBehindItActs)
{
    UseFolder("after close");
    ListService("TrayShellAfterClose");
    StartDialog();
    ASSERT_TRUE(WaitForIcon("No VirtualBox machines running"));
    // A menu shown by mistake would hold this thread: end it.
    UINT_PTR timer = SetTimer(NULL, 0, 300, EndAnyMenu);
    PostMessageA(dialog, WM_COMMAND, IDM_CLOSE, 0);
    PostMessageA(dialog, WM_TRAYICON, 1, WM_LBUTTONUP);
    PostMessageA(dialog, WM_TRAYICON, 1, WM_RBUTTONUP);
    PostMessageA(dialog, WM_COMMAND, IDM_RELOAD, 0);
    SendNotifyMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    // Everything queued is handled before the quit.
    EXPECT_TRUE(RunMessageLoopUntilQuit());
    KillTimer(NULL, timer);
    EXPECT_TRUE(TrayMenu == NULL);
    EXPECT_TRUE(TrayEntries == NULL);
    EXPECT_FALSE(ShellHasOurIcon());
    EXPECT_TRUE(WaitForNoIcon());
}

TEST_F(ShellTest, TheDialogIsSentANullMessageOnceTheMenuHasClosed)
{
    UseFolder("null message");
    WriteTextFile(folder + "pelorintray.ini", "[not configured]\r\n");
    StartDialog();
    MSG message;
    while (PeekMessageA(&message, dialog, 0, 0, PM_REMOVE)) {
    }
    UINT_PTR timer = SetTimer(NULL, 0, 300, EndAnyMenu);
    ShowTrayMenu(dialog);
    KillTimer(NULL, timer);
    int nulls = 0;
    while (PeekMessageA(&message, dialog, 0, 0, PM_REMOVE))
        nulls += message.message == WM_NULL && message.wParam == 0 && message.lParam == 0;
    EXPECT_EQ(1, nulls);
}

// Right-clicks "Reload config" (position 2 below one service) once the menu is up.
void CALLBACK RightClickReload(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND window = FindWindowA("#32768", NULL);
    RECT item;
    if (window != NULL && IsWindowVisible(window) &&
        GetMenuItemRect(NULL, (HMENU)SendMessageA(window, MN_GETHMENU, 0, 0), 2, &item)) {
        KillTimer(NULL, timer);
        ClickAt(item, 3);
    }
}

TEST_F(ShellTest, AMenuOpenedWithTheRightButtonIsChosenFromWithItToo)
{
    UseFolder("right button");
    WriteTextFile(folder + "pelorintray.ini", "[not configured]\r\n");
    StartDialog();
    ShellIcon icon;
    ASSERT_TRUE(WaitForIcon("No VirtualBox machines running", &icon));
    // "Reload config", chosen with the right button, finds a second section.
    WriteTextFile(folder + "pelorintray.ini", "[not configured]\r\n[second]\r\n");
    UINT_PTR clicking = SetTimer(NULL, 0, 50, RightClickReload);
    // A menu that ignores the button would keep this thread for good.
    UINT_PTR ending = SetTimer(NULL, 0, 8000, EndAnyMenu);
    ClickAt(icon.rect, 3);
    EXPECT_TRUE(PumpMessagesUntil([]() { return TrayEntryCount == 2; }));
    KillTimer(NULL, clicking);
    KillTimer(NULL, ending);
}

// Shell_NotifyIconA as a shell that will neither add nor show the icon
// until NIM_ADD has been asked for more than RefusedAdds times.
typedef BOOL(WINAPI *NotifyIconFunction)(DWORD, PNOTIFYICONDATAA);
NotifyIconFunction RealNotifyIcon;
int RefusedAdds, Adds;

BOOL WINAPI RefusingNotifyIcon(DWORD message, PNOTIFYICONDATAA data)
{
    Adds += message == NIM_ADD;
    if ((message == NIM_ADD || message == NIM_MODIFY) && Adds <= RefusedAdds)
        return FALSE;
    return RealNotifyIcon(message, data);
}

// Chooses Close once the taskbar shows the icon, or after 30 s.
DWORD RunStarted;
bool IconSeen;

void CALLBACK CloseOnceTheIconShows(HWND, UINT, UINT_PTR, DWORD)
{
    IconSeen = IconSeen || ReadShellIcons().size() == 1;
    if (IconSeen || GetTickCount() - RunStarted > 30000)
        PostMessageA(TrayIcon.hWnd, WM_COMMAND, MAKEWPARAM(IDM_CLOSE, 0), 0);
}

TEST_F(ShellTest, AnIconTheShellRefusesIsTriedAgainAndACopyThatNeverGetsOneEnds)
{
    UseFolder("refused icon");
    WriteTextFile(folder + "pelorintray.ini", "[not configured]\r\n");
    RealNotifyIcon = (NotifyIconFunction)ReplaceImport("shell32.dll", "Shell_NotifyIconA", (void *)RefusingNotifyIcon);
    ASSERT_TRUE(RealNotifyIcon != NULL);
    // Refused for good, then twice: the second start is not refused as
    // another copy, and shows the icon at the third try.
    const struct {
        int refused, exitCode, adds;
        bool shown;
    } runs[] = { { 1000, TRAY_EXIT_NO_ICON, 5, false }, { 2, 0, 3, true } };
    for (const auto &run : runs) {
        RefusedAdds = run.refused;
        Adds = 0;
        IconSeen = false;
        RunStarted = GetTickCount();
        UINT_PTR timer = SetTimer(NULL, 0, 200, CloseOnceTheIconShows);
        EXPECT_EQ(run.exitCode, RunTrayHelper(GetModuleHandleA(NULL))) << run.refused;
        KillTimer(NULL, timer);
        EXPECT_EQ(run.adds, Adds) << run.refused;
        EXPECT_EQ(run.shown, IconSeen) << run.refused;
        // The tries are spread over seconds.
        EXPECT_GE(GetTickCount() - RunStarted, (DWORD)(run.adds - 1) * 1000) << run.refused;
        EXPECT_TRUE(WaitForNoIcon());
    }
    ReplaceImport("shell32.dll", "Shell_NotifyIconA", (void *)RealNotifyIcon);
}

// The program's own windows: its hidden dialog and any message box.
struct ProcessWindows {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM context)
{
    ProcessWindows *found = (ProcessWindows *)context;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[64] = "";
    GetClassNameA(window, className, sizeof(className));
    if (owner == found->processId && strcmp(className, "#32770") == 0)
        found->windows.push_back(window);
    return TRUE;
}

HWND FindDialogOf(DWORD processId, bool visible)
{
    ProcessWindows found = { processId, {} };
    EnumWindows(CollectWindow, (LPARAM)&found);
    for (HWND window : found.windows) {
        if ((IsWindowVisible(window) != FALSE) == visible)
            return window;
    }
    return NULL;
}

BOOL CALLBACK FindStaticText(HWND child, LPARAM context)
{
    char className[64] = "";
    GetClassNameA(child, className, sizeof(className));
    char text[256] = "";
    GetWindowTextA(child, text, sizeof(text));
    if (_stricmp(className, "Static") == 0 && text[0] != '\0') {
        *(std::string *)context = text;
        return FALSE;
    }
    return TRUE;
}

PROCESS_INFORMATION StartProgram(const std::string &exe)
{
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    std::string line = Quote(exe);
    CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process);
    return process;
}

DWORD WaitForExit(const PROCESS_INFORMATION &process, DWORD timeoutMs = 15000)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    return code;
}

void CloseProcess(PROCESS_INFORMATION &process)
{
    if (process.hProcess == NULL)
        return;
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    process.hProcess = NULL;
}

TEST_F(ShellTest, SecondCopyShowsItsMessageAndExitsWithOneWhileTheFirstRunsOn)
{
    UseFolder("second copy");
    std::string exe = CopyBuiltProgram("pelorintray.exe", folder, "pelorintray.exe");
    WriteTextFile(folder + "pelorintray.ini", "[not configured]\r\n");

    PROCESS_INFORMATION first = StartProgram(exe);
    ASSERT_TRUE(first.hProcess != NULL);
    HWND firstDialog = NULL;
    EXPECT_TRUE(PumpMessagesUntil([&]() { return (firstDialog = FindDialogOf(first.dwProcessId, false)) != NULL; }));
    EXPECT_TRUE(WaitForIcon("No VirtualBox machines running"));

    PROCESS_INFORMATION second = StartProgram(exe);
    ASSERT_TRUE(second.hProcess != NULL);
    HWND box = NULL;
    EXPECT_TRUE(PumpMessagesUntil([&]() { return (box = FindDialogOf(second.dwProcessId, true)) != NULL; }));
    if (box != NULL) {
        char caption[128] = "";
        GetWindowTextA(box, caption, sizeof(caption));
        EXPECT_STREQ("Pelorin tray helper", caption);
        std::string text;
        EnumChildWindows(box, FindStaticText, (LPARAM)&text);
        EXPECT_EQ("Another instance of pelorintray is already running", text);
        // A message box with MB_OK has an OK button and nothing else to press.
        EXPECT_TRUE(GetDlgItem(box, IDOK) != NULL);
        EXPECT_TRUE(GetDlgItem(box, IDCANCEL) == NULL || !IsWindowVisible(GetDlgItem(box, IDCANCEL)));
        PumpMessagesUntil([]() { return false; }, 500); // let it paint
        Screenshot("tray-second-copy");
        SendMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    }
    EXPECT_EQ(1u, WaitForExit(second));

    // The first copy was not disturbed; Close ends it with 0 and takes its icon away.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first.hProcess, 0));
    EXPECT_EQ(1u, ReadShellIcons().size());
    if (firstDialog != NULL)
        PostMessageA(firstDialog, WM_COMMAND, MAKEWPARAM(IDM_CLOSE, 0), 0);
    EXPECT_EQ(0u, WaitForExit(first));
    EXPECT_TRUE(WaitForNoIcon());
    CloseProcess(second);
    CloseProcess(first);
}

TEST_F(ShellTest, AMutexOfAnotherCopyThatMayNotBeOpenedCountsAsAnotherCopy)
{
    UseFolder("mutex");
    WriteTextFile(folder + "pelorintray.ini", "[not configured]\r\n");
    // A copy started elevated holds the mutex with rights that this user lacks.
    SECURITY_ATTRIBUTES elevated = { sizeof(elevated), NULL, FALSE };
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:", SDDL_REVISION_1,
                                                                     &elevated.lpSecurityDescriptor, NULL));
    HANDLE other = CreateMutexA(&elevated, TRUE, TRAY_MUTEX_NAME);
    LocalFree(elevated.lpSecurityDescriptor);
    ASSERT_TRUE(other != NULL);
    MessageBoxAnswerer answerer(IDOK);
    // A helper that ran on all the same is closed once its icon shows.
    IconSeen = false;
    RunStarted = GetTickCount();
    UINT_PTR timer = SetTimer(NULL, 0, 200, CloseOnceTheIconShows);
    EXPECT_EQ(1, RunTrayHelper(GetModuleHandleA(NULL)));
    KillTimer(NULL, timer);
    EXPECT_EQ(std::vector<std::string>({ "Pelorin tray helper|Another instance of pelorintray is already running|ok" }),
              answerer.Seen());
    CloseHandle(other);
}

// The update check against a server that accepts and never answers, and
// one that sends a byte a second: the icon and the menu are served
// meanwhile, and each check ends within its bound without a word.
TEST_F(ShellTest, TheUpdateCheckHoldsNeitherTheIconNorTheMenuAndEndsWithinItsBound)
{
    UseFolder("update bound");
    ListService("TrayShellUpdateBound");
    CopyBuiltProgram("pelorintray.exe", folder, "pelorintray.exe"); // its version block makes the check ask
    MessageBoxAnswerer answerer(IDNO);
    LocalHttpServer server; // one for both: Wine reads http_proxy once in a process
    SetEnvironmentVariableA("http_proxy", server.ProxyAddress().c_str());
    server.ReplyNever();
    StartDialog(); // the start-up check asks
    ShellIcon icon;
    ASSERT_TRUE(WaitForIcon("No VirtualBox machines running", &icon));
    for (int slow = 0; slow < 2; slow++) {
        if (slow) {
            server.ReplyRaw("HTTP/1.1 200 OK\r\nContent-Length: 27\r\n\r\n65536,http://download.test/", 1000);
            CheckForUpdates(1);
        }
        ShownMenu shown = ClickIcon(dialog, icon, 1, slow ? "tray-update-check-slow" : "tray-update-check-silent");
        EXPECT_TRUE(shown.shown && shown.updateCheckRunning) << slow;
        // Its bound and all the room a busy machine may need: a check bounded
        // per read instead would take the slow server's minute.
        EXPECT_TRUE(PumpMessagesUntil([]() { return !UpdateCheck.Running; }, UPDATE_CHECK_TIMEOUT_MS + 10000)) << slow;
        EXPECT_EQ(slow + 1u, server.Requests().size()) << slow;
    }
    EXPECT_TRUE(answerer.Seen().empty());
    // The silent server's connection was let go with its check. (Wine keeps
    // the slow one's open after the check has ended; Windows closes it with
    // the request's handle.)
    ASSERT_FALSE(server.HeldMs().empty());
    EXPECT_LT(server.HeldMs()[0], (DWORD)UPDATE_CHECK_TIMEOUT_MS + 5000);
}

} // namespace
