#include "tray_menu.h"

#include <io.h>
#include <stdlib.h>

#include "autostart.h"
#include "command_ids.h"
#include "control_pipe.h"
#include "menu_icons.h"
#include "pipe_client.h"
#include "service_list.h"
#include "tray_base.h"

HMENU TrayMenu;
HMENU *ServiceMenus;
HMENU *StopWithMenus;
int BuiltMenuCount;

// "Stop with" items in menu order; the position of each is its default-item position.
static const struct {
    int method;
    const char *text;
} StopWithItems[] = {
    { TrayStopSaveState, "Save state" },
    { TrayStopAcpiSleepButton, "ACPI sleep" },
    { TrayStopAcpiPowerButton, "ACPI power" },
    { TrayStopPowerOff, "Power off" },
};

static UINT EnabledWhen(int condition)
{
    return condition ? MF_ENABLED : MF_GRAYED;
}

// A menu takes "&" as the mark of a shortcut letter: "R&D" would show as
// "RD" with the D underlined. Doubled, each "&" shows as itself. The label
// holds twice the text's buffer.
static void EscapeMenuText(char *label, const char *text)
{
    for (; *text != '\0'; text++) {
        if (*text == '&')
            *label++ = '&';
        *label++ = *text;
    }
    *label = '\0';
}

static void AppendGrayedText(HMENU menu, const char *text)
{
    AppendMenuA(menu, MF_STRING | MF_GRAYED, 0, text);
}

static HMENU BuildStopWithMenu(int index, const TrayEntry *entry)
{
    HMENU menu = CreatePopupMenu();
    const int count = sizeof(StopWithItems) / sizeof(StopWithItems[0]);
    for (int position = 0; position < count; position++) {
        AppendMenuA(menu, MF_STRING, ServiceCommandId(index, StopWithItems[position].method),
                    StopWithItems[position].text);
        // The configured method is shown in bold.
        if (StopWithItems[position].method == entry->StopMethod)
            SetMenuDefaultItem(menu, position, TRUE);
    }
    return menu;
}

static void AppendServiceCommands(HMENU menu, int index, const TrayEntry *entry, int remoteDisplay)
{
    int running = entry->State == Running;
    int logExists = entry->LogPath[0] != '\0' && _access(entry->LogPath, 0) == 0;

    AppendMenuA(menu, MF_STRING | EnabledWhen(entry->State == Stopped), ServiceCommandId(index, CommandStart), "Start");
    AppendMenuA(menu, MF_STRING | EnabledWhen(running), ServiceCommandId(index, CommandStop), "Stop");
    StopWithMenus[index] = BuildStopWithMenu(index, entry);
    AppendMenuA(menu, MF_POPUP | EnabledWhen(running), (UINT_PTR)StopWithMenus[index], "Stop with");
    AppendMenuA(menu, MF_SEPARATOR, 0, NULL);
    AppendMenuA(menu, MF_STRING | EnabledWhen(running && remoteDisplay),
                ServiceCommandId(index, CommandVrdpConsole), "VRDP console");
    AppendMenuA(menu, MF_STRING, ServiceCommandId(index, CommandOpenConfig), "Open config file");
    AppendMenuA(menu, MF_STRING | EnabledWhen(logExists), ServiceCommandId(index, CommandShowLog), "Show log");
    AppendMenuA(menu, MF_STRING | EnabledWhen(logExists), ServiceCommandId(index, CommandClearLog), "Clear log");
    AppendMenuA(menu, MF_SEPARATOR, 0, NULL);
    // Grayed where the user may not change the start type.
    UINT mark = entry->Autostart ? MF_CHECKED : MF_UNCHECKED;
    AppendMenuA(menu, MF_STRING | mark | EnabledWhen(!entry->AutostartLocked), ServiceCommandId(index, CommandAutostart),
                "Autostart");
}

static HMENU BuildServiceMenu(int index, TrayEntry *entry, int pollResult, int remoteDisplay)
{
    HMENU menu = CreatePopupMenu();
    if (pollResult == PollManagerAccessDenied) {
        AppendGrayedText(menu, "Service Control Manager access denied");
        entry->State = ServiceNotFound;
    } else if (entry->AccessDenied) {
        AppendGrayedText(menu, "Service access denied");
    } else if (entry->State == NotConfigured) {
        AppendGrayedText(menu, "Not configured");
    } else if (entry->State == ConfigNotFound) {
        AppendGrayedText(menu, "Configuration file not found");
    } else if (entry->State == ServiceNotFound) {
        AppendGrayedText(menu, "Service not found");
    } else {
        AppendServiceCommands(menu, index, entry, remoteDisplay);
    }
    return menu;
}

// Only the machines that the poll found running, with their service's
// process, are asked, all at once: a click waits once for all of them, at
// most the pipe client's deadline.
static int AsksRemoteDisplay(const TrayEntry *entry, int pollResult)
{
    return pollResult != PollManagerAccessDenied && entry->State == Running && entry->ProcessId != 0;
}

// Sets enabled[i] for every entry whose service says its machine's remote
// display is enabled; the others stay 0.
static void AskRemoteDisplays(int pollResult, int *enabled)
{
    int count = 0;
    for (int i = 0; i < TrayEntryCount; i++)
        count += AsksRemoteDisplay(&TrayEntries[i], pollResult);
    PipeQuestion *questions = count > 0 ? (PipeQuestion *)calloc((size_t)count, sizeof(PipeQuestion)) : NULL;
    if (questions == NULL)
        return;
    for (int i = 0, k = 0; i < TrayEntryCount; i++) {
        if (AsksRemoteDisplay(&TrayEntries[i], pollResult)) {
            questions[k].VmName = TrayEntries[i].VmName;
            questions[k].ServiceProcessId = TrayEntries[i].ProcessId;
            questions[k++].Request = VrdeEnabled;
        }
    }
    AskServices(questions, count);
    for (int i = 0, k = 0; i < TrayEntryCount; i++) {
        if (AsksRemoteDisplay(&TrayEntries[i], pollResult))
            enabled[i] = questions[k++].Reply != 0;
    }
    free(questions);
}

// The service items carry their state as identifier and picture: a cached
// bitmap on Vista and later, owner drawing before.
static void SetStatePicture(int position, int state)
{
    MENUITEMINFOA item;
    ZeroMemory(&item, sizeof(item));
    item.cbSize = sizeof(item);
    item.fMask = MIIM_BITMAP | MIIM_ID;
    item.wID = (UINT)state;
    item.hbmpItem = WindowsMajorVersion > 5 ? MenuBitmapForState(state) : HBMMENU_CALLBACK;
    SetMenuItemInfoA(TrayMenu, position, TRUE, &item);
}

// Sizes both submenu arrays for count entries; 0 when memory runs out.
static int ResizeSubmenuArrays(int count)
{
    HMENU *services = (HMENU *)realloc(ServiceMenus, (size_t)count * sizeof(HMENU));
    if (services == NULL)
        return 0;
    ServiceMenus = services;
    HMENU *stopWith = (HMENU *)realloc(StopWithMenus, (size_t)count * sizeof(HMENU));
    if (stopWith == NULL)
        return 0;
    StopWithMenus = stopWith;
    for (int i = 0; i < count; i++) {
        ServiceMenus[i] = NULL;
        StopWithMenus[i] = NULL;
    }
    return 1;
}

void BuildTrayMenu(int pollResult)
{
    if (TrayMenu != NULL)
        DestroyTrayMenu();
    TrayMenu = CreatePopupMenu();
    BuiltMenuCount = 0;

    if (TrayEntryCount == -1) {
        AppendGrayedText(TrayMenu, "No configuration file");
    } else if (TrayEntryCount == 0) {
        AppendGrayedText(TrayMenu, "No services configured");
    } else if (ResizeSubmenuArrays(TrayEntryCount)) {
        BuiltMenuCount = TrayEntryCount;
        // Without memory for the answers every "VRDP console" is grayed.
        int *remoteDisplays = (int *)calloc((size_t)TrayEntryCount, sizeof(int));
        if (remoteDisplays != NULL)
            AskRemoteDisplays(pollResult, remoteDisplays);
        for (int i = 0; i < TrayEntryCount; i++) {
            int remoteDisplay = remoteDisplays != NULL && remoteDisplays[i];
            ServiceMenus[i] = BuildServiceMenu(i, &TrayEntries[i], pollResult, remoteDisplay);
            char label[2 * sizeof(TrayEntries[i].VmName)];
            EscapeMenuText(label, TrayEntries[i].VmName);
            AppendMenuA(TrayMenu, MF_POPUP, (UINT_PTR)ServiceMenus[i], label);
        }
        free(remoteDisplays);
    }

    AppendMenuA(TrayMenu, MF_SEPARATOR, 0, NULL);
    AppendMenuA(TrayMenu, MF_STRING, IDM_RELOAD, "Reload config");
    AppendMenuA(TrayMenu, MF_STRING, IDM_CHECK_UPDATES, "Check for updates...");
    AppendMenuA(TrayMenu, MF_STRING | (IsAutostartOnLogon() ? MF_CHECKED : MF_UNCHECKED), IDM_LOGON_AUTOSTART,
                "Autostart on logon");
    AppendMenuA(TrayMenu, MF_SEPARATOR, 0, NULL);
    AppendMenuA(TrayMenu, MF_STRING, IDM_CLOSE, "Close");

    for (int i = 0; i < BuiltMenuCount; i++)
        SetStatePicture(i, TrayEntries[i].State);
}

void DestroyTrayMenu(void)
{
    // DestroyMenu also takes the submenus a menu still holds; destroying each
    // one first, innermost first, also frees any that never got attached.
    for (int i = BuiltMenuCount - 1; i >= 0; i--) {
        if (StopWithMenus[i] != NULL)
            DestroyMenu(StopWithMenus[i]);
        DestroyMenu(ServiceMenus[i]);
    }
    BuiltMenuCount = 0;
    free(ServiceMenus);
    ServiceMenus = NULL;
    free(StopWithMenus);
    StopWithMenus = NULL;
    if (TrayMenu != NULL) {
        DestroyMenu(TrayMenu);
        TrayMenu = NULL;
    }
}

void ShowTrayMenu(HWND dialog)
{
    POINT cursor;
    GetCursorPos(&cursor);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(dialog);
    // A menu opened with the right button can be chosen with it too.
    TrackPopupMenu(TrayMenu, TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, dialog, NULL);
    // Lets the switch to the dialog finish: without it the next menu may
    // vanish at once or stay up when the user clicks elsewhere.
    PostMessageA(dialog, WM_NULL, 0, 0);
}
