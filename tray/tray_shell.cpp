#include "tray_shell.h"

#include <string.h>

#include "abi_sizes.h"
#include "buffered_paint.h"
#include "command_ids.h"
#include "menu_icons.h"
#include "resource.h"
#include "service_list.h"
#include "tray_commands.h"
#include "tray_menu.h"
#include "update_check.h"

UINT TaskbarCreatedMessage;

// Set by CleanupTray. A click or a "TaskbarCreated" still queued behind
// Close must not poll, show a menu or bring the icon back.
static int TrayClosed;

void StartTrayShell(HINSTANCE instance)
{
    TrayClosed = 0;
    WindowsMajorVersion = LOBYTE(LOWORD(GetVersion()));
    LoadBufferedPaintFunctions(WindowsMajorVersion);
    if (UxBufferedPaintInit != NULL)
        UxBufferedPaintInit();
    for (int i = 0; i < MENU_BITMAP_SLOTS; i++)
        MenuBitmapCache[i] = NULL;
    TrayInstance = instance;
}

BOOL AddTrayIcon(HWND dialog)
{
    TaskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");

    HICON previousIcon = TrayIcon.hIcon;
    char currentTip[sizeof(TrayIcon.szTip)];
    strcpy(currentTip, TrayIcon.szTip);
    memset(&TrayIcon, 0, sizeof(TrayIcon));
    // The record as far as dwInfoFlags: what every shell since Windows 2000 reads.
    TrayIcon.cbSize = NOTIFYICONDATAA_V2_SIZE;
    TrayIcon.hWnd = dialog;
    TrayIcon.uID = 1;
    TrayIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    TrayIcon.uCallbackMessage = WM_TRAYICON;
    TrayIcon.hIcon = (HICON)LoadImageA(TrayInstance, MAKEINTRESOURCEA(IDI_TRAY), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR);
    // An icon added again (after a retry, or for a restarted taskbar) still
    // tells how many machines the last poll found running.
    strcpy(TrayIcon.szTip, currentTip[0] != '\0' ? currentTip : NO_MACHINES_RUNNING_TIP);
    TrayIcon.uVersion = NOTIFYICON_VERSION;

    BOOL shown = Shell_NotifyIconA(NIM_ADD, &TrayIcon);
    // "TaskbarCreated" also reaches us when the shell still shows our icon,
    // and then the add fails: the icon is updated in place instead.
    if (!shown)
        shown = Shell_NotifyIconA(NIM_MODIFY, &TrayIcon);
    // The shell keeps its own copy of the icon.
    if (previousIcon != NULL)
        DestroyIcon(previousIcon);
    if (!shown)
        return FALSE;
    // Without version 3 the callbacks carry the mouse message all the same.
    Shell_NotifyIconA(NIM_SETVERSION, &TrayIcon);
    return TRUE;
}

void CleanupTray(void)
{
    TrayClosed = 1;
    EndUpdateCheck();
    Shell_NotifyIconA(NIM_DELETE, &TrayIcon);
    if (TrayIcon.hIcon != NULL) {
        DestroyIcon(TrayIcon.hIcon);
        TrayIcon.hIcon = NULL;
    }
    FreeServiceList();
    FreeMenuBitmaps();
}

static void CloseTray(int exitCode)
{
    DestroyTrayMenu();
    CleanupTray();
    PostQuitMessage(exitCode);
}

// A shell still busy at logon, or just restarted, may refuse the icon for a
// while: the add is tried again a few times, ICON_RETRY_MS apart. A copy
// that never gets its icon ends: hidden, it would only refuse every later
// start, which may find the shell ready.
#define ICON_RETRY_TIMER 1
#define ICON_RETRY_MS 1500
#define ICON_TRIES 5

static int IconTriesLeft;

static void ShowTrayIcon(HWND dialog)
{
    KillTimer(dialog, ICON_RETRY_TIMER);
    if (AddTrayIcon(dialog))
        return;
    IconTriesLeft = ICON_TRIES - 1;
    if (!SetTimer(dialog, ICON_RETRY_TIMER, ICON_RETRY_MS, NULL))
        CloseTray(TRAY_EXIT_NO_ICON);
}

static void RetryTrayIcon(HWND dialog)
{
    if (AddTrayIcon(dialog)) {
        KillTimer(dialog, ICON_RETRY_TIMER);
        return;
    }
    if (--IconTriesLeft > 0)
        return;
    KillTimer(dialog, ICON_RETRY_TIMER);
    CloseTray(TRAY_EXIT_NO_ICON);
}

static void StartUpDialog(HWND dialog)
{
    int result = LoadServiceList();
    ShowTrayIcon(dialog);
    if (TrayClosed)
        return;
    if (result == PollSucceeded)
        result = PollServices();
    BuildTrayMenu(result);
    // Says something only when a newer version exists.
    CheckForUpdates(1);
}

// Set while the menu's own loop runs, which dispatches the shell's
// notifications too: a click that arrives then must not destroy the menu
// that is being shown.
static int MenuShowing;
// Set by the release of the left button, cleared by the next notification.
static int LeftButtonReleased;

// A left click also sends NIN_SELECT after the button's release, and a
// shell may send it once the menu that the release opened has closed: that
// is the same click, not another. NIN_SELECT after Enter on an icon chosen
// with the mouse, and NIN_KEYSELECT (Enter or Space on the focused icon),
// open the menu as a click does.
static int OpensMenu(UINT notification)
{
    int sameClick = LeftButtonReleased && notification == NIN_SELECT;
    LeftButtonReleased = notification == WM_LBUTTONUP;
    switch (notification) {
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case NIN_KEYSELECT:
        return 1;
    case NIN_SELECT:
        return !sameClick;
    }
    return 0;
}

static void HandleIconClick(HWND dialog)
{
    if (MenuShowing)
        return;
    DestroyTrayMenu();
    BuildTrayMenu(PollServices());
    MenuShowing = 1;
    ShowTrayMenu(dialog);
    MenuShowing = 0;
}

INT_PTR CALLBACK TrayDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (TrayClosed)
        return FALSE;
    // Explorer has been restarted, so the icon will have been lost.
    if (TaskbarCreatedMessage != 0 && message == TaskbarCreatedMessage) {
        ShowTrayIcon(window);
        return FALSE;
    }
    switch (message) {
    case WM_INITDIALOG:
        StartUpDialog(window);
        break;
    case WM_TRAYICON:
        // Only the release of a button or a selection opens the menu;
        // downs, double clicks and moves arrive too and are left alone.
        if (OpensMenu(LOWORD(lParam)))
            HandleIconClick(window);
        break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDM_CLOSE)
            CloseTray(0);
        else
            HandleTrayCommand(LOWORD(wParam));
        break;
    case WM_TIMER:
        if (wParam == ICON_RETRY_TIMER)
            RetryTrayIcon(window);
        break;
    case WM_MEASUREITEM:
        if (lParam != 0)
            MeasureMenuIcon((MEASUREITEMSTRUCT *)lParam);
        break;
    case WM_DRAWITEM:
        if (lParam != 0 && ((DRAWITEMSTRUCT *)lParam)->CtlType == ODT_MENU)
            DrawMenuIcon((const DRAWITEMSTRUCT *)lParam);
        break;
    }
    return FALSE;
}

int RunTrayHelper(HINSTANCE instance)
{
    HANDLE mutex = CreateMutexA(NULL, TRUE, TRAY_MUTEX_NAME);
    // A copy started elevated holds a mutex that this one may not open.
    if (GetLastError() == ERROR_ALREADY_EXISTS || (mutex == NULL && GetLastError() == ERROR_ACCESS_DENIED)) {
        MessageBoxA(NULL, "Another instance of pelorintray is already running", "Pelorin tray helper", MB_OK);
        if (mutex != NULL)
            CloseHandle(mutex);
        return 1;
    }

    StartTrayShell(instance);
    int exitCode = 1;
    HWND dialog = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_TRAY), NULL, TrayDialogProc, 0);
    if (dialog != NULL) {
        MSG message;
        BOOL got;
        while ((got = GetMessageA(&message, NULL, 0, 0)) > 0) {
            if (!IsDialogMessageA(dialog, &message)) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
        }
        DestroyWindow(dialog);
        // 0 after Close, TRAY_EXIT_NO_ICON when the shell never took the icon.
        exitCode = got == 0 ? (int)message.wParam : 0;
    }

    if (UxBufferedPaintUninit != NULL)
        UxBufferedPaintUninit();
    if (mutex != NULL) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    return exitCode;
}
