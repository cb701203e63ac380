#include "tray_commands.h"

#include <windows.h>

#include <stdio.h>

#include "autostart.h"
#include "command_ids.h"
#include "pipe_client.h"
#include "service_list.h"
#include "shell_open.h"
#include "tray_menu.h"
#include "update_check.h"

// Opens the entry's service with the given rights and hands it to the
// action with the command; gives up silently when the manager or the
// service will not open.
static void WithTrayService(const TrayEntry *entry, DWORD access, void (*action)(SC_HANDLE, const TrayEntry *, int),
                            int command)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT);
    if (manager == NULL)
        return;
    SC_HANDLE service = OpenServiceA(manager, entry->ServiceName, access);
    if (service != NULL) {
        action(service, entry, command);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

static void StartOpenedService(SC_HANDLE service, const TrayEntry *, int)
{
    StartServiceA(service, 0, NULL);
}

// The flag is the one read by the poll before the menu was shown. Only the
// start type changes: Windows refuses an interactive service type for a
// service that an administrator runs under a user account.
static void SwitchOpenedServiceStartType(SC_HANDLE service, const TrayEntry *entry, int)
{
    DWORD startType = entry->Autostart ? SERVICE_DEMAND_START : SERVICE_AUTO_START;
    ChangeServiceConfigA(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL, NULL, NULL,
                         NULL);
}

// The service reads the one-off method when it stops and deletes it. A
// method written for a stop that does not happen would apply to the next
// stop, whoever causes it (Windows shutdown, say): it is written only for a
// running service, and deleted again when the stop is refused (the service
// was stopping already, or its state changed since the menu was built).
static void StopOpenedService(SC_HANDLE service, const TrayEntry *entry, int command)
{
    SERVICE_STATUS status;
    if (!QueryServiceStatus(service, &status) || status.dwCurrentState != SERVICE_RUNNING)
        return;
    const char *word = TrayStopMethodWord(command);
    if (word != NULL)
        WritePrivateProfileStringA(SERVICE_INI_SECTION, "ShutdownOnceCommand", word, entry->ConfigPath);
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status) && word != NULL)
        WritePrivateProfileStringA(SERVICE_INI_SECTION, "ShutdownOnceCommand", NULL, entry->ConfigPath);
}

// Opens a Remote Desktop console on the machine's port, at the machine's
// screen size when the service tells it, else full screen. The parameters
// are made of numbers only: nothing the service sends becomes text there.
static void OpenVrdpConsole(const TrayEntry *entry)
{
    // Only the running service's own pipe is asked: a program that created
    // the pipe's name first could name any port.
    if (entry->State != Running || entry->ProcessId == 0)
        return;
    int port = RequestVrdePort(entry->VmName, entry->ProcessId);
    if (port <= 0)
        return;
    int width = 0;
    int height = 0;
    RequestScreenResolution(entry->VmName, &width, &height, entry->ProcessId);
    char parameters[64];
    if (width > 0 && height > 0)
        snprintf(parameters, sizeof(parameters), "/v 127.0.0.1:%d /w %d /h %d", port, width, height);
    else
        snprintf(parameters, sizeof(parameters), "/v 127.0.0.1:%d /f", port);
    OpenWithShell("mstsc.exe", parameters, NULL);
}

static void RunServiceCommand(TrayEntry *entry, int command)
{
    switch (command) {
    case CommandStart:
        WithTrayService(entry, GENERIC_READ | SERVICE_START, StartOpenedService, command);
        break;
    case CommandStop:
    case CommandPowerOff:
    case CommandAcpiPower:
    case CommandAcpiSleep:
    case CommandSaveState:
        WithTrayService(entry, GENERIC_READ | SERVICE_STOP, StopOpenedService, command);
        break;
    case CommandAutostart:
        // Its item is grayed: the poll found the right to change it missing.
        if (!entry->AutostartLocked)
            WithTrayService(entry, GENERIC_READ | SERVICE_CHANGE_CONFIG, SwitchOpenedServiceStartType, command);
        break;
    // Logs and INI files open in whatever opens text files, whatever their extension.
    case CommandShowLog:
        OpenWithShell(entry->LogPath, NULL, ".txt");
        break;
    case CommandOpenConfig:
        OpenWithShell(entry->ConfigPath, NULL, ".txt");
        break;
    case CommandClearLog:
        DeleteFileA(entry->LogPath);
        break;
    case CommandVrdpConsole:
        OpenVrdpConsole(entry);
        break;
    }
}

void HandleTrayCommand(unsigned int id)
{
    switch (id) {
    case IDM_RELOAD: {
        int result = LoadServiceList();
        DestroyTrayMenu();
        PollServices();
        // The next click polls again before the menu is shown.
        BuildTrayMenu(result);
        return;
    }
    case IDM_LOGON_AUTOSTART:
        ToggleAutostartOnLogon();
        return;
    case IDM_CHECK_UPDATES:
        CheckForUpdates(0);
        return;
    }
    if (id <= IDM_SERVICE_BASE)
        return;
    int index = (int)((id - IDM_SERVICE_BASE) / IDM_SERVICE_STRIDE);
    int command = (int)((id - IDM_SERVICE_BASE) % IDM_SERVICE_STRIDE);
    if (index >= TrayEntryCount)
        return;
    // Only entries whose submenu offers commands act on them: the others
    // have no usable file or service to act on.
    int state = TrayEntries[index].State;
    if (state == NotConfigured || state == ConfigNotFound || state == ServiceNotFound)
        return;
    RunServiceCommand(&TrayEntries[index], command);
}
