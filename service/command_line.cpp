#include "command_line.h"

#include <windows.h>
#include <stdio.h>

#include "abi_sizes.h"
#include "install.h"
#include "lifecycle.h"
#include "log.h"
#include "settings.h"
#include "supervisor.h"
#include "version_info.h"

int ConfigComplete;
int VistaOrLater;

void SetVirtualBoxEnvironment(void)
{
    char installPath[MAX_PATH + 1];
    snprintf(installPath, sizeof(installPath), "%s\\", ServiceSettings.VboxInstallPath);
    SetEnvironmentVariableA("VBOX_INSTALL_PATH", installPath);
    SetEnvironmentVariableA("VBOX_USER_HOME", ServiceSettings.VboxUserHome);
}

int CheckWindowsVersion(void)
{
    OSVERSIONINFOEXA wanted;
    ZeroMemory(&wanted, sizeof(wanted));
    wanted.dwOSVersionInfoSize = sizeof(wanted);
    wanted.dwMajorVersion = 6;
    wanted.dwMinorVersion = 0;
    wanted.wServicePackMajor = 0;
    wanted.wServicePackMinor = 0;

    DWORDLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMINOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoA(&wanted, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR | VER_SERVICEPACKMINOR, mask);
}

// How long the ended service waits for VirtualBox to be let go before it exits.
static const DWORD ReleaseWaitMs = 5000;

static void RunServiceDispatcher(void)
{
    SERVICE_TABLE_ENTRYA table[2] = {
        { ServiceSettings.ServiceKeyName, ServiceMain },
        { NULL, NULL }
    };
    // Fails at once when started from a console; that is not reported, but
    // what ServiceMain would have logged about the settings is.
    if (!StartServiceCtrlDispatcherA(table) && !ConfigComplete)
        LoadSettings(1);
    WaitForSupervisorToLetGo(ReleaseWaitMs);
}

static void PrintConfigIncomplete(void)
{
    printf("\nConfiguration is not complete.\nCheck %s file.\n", ServiceSettings.LogPath);
}

static int RunInstall(void)
{
    const ServiceSettingsRecord &settings = ServiceSettings;
    if (!ConfigComplete) {
        PrintConfigIncomplete();
        return ExitConfigIncomplete;
    }
    // Its results are -i's exit codes.
    int result = InstallService();
    if (result != InstallDone)
        return result;
    printf("\n%s (%s) service installed successfully.\n", settings.DisplayName, settings.ServiceKeyName);
    WriteLog(1, "Service %s (%s) installed successfully.", settings.DisplayName, settings.ServiceKeyName);
    return ExitSuccess;
}

static int RunUninstall(void)
{
    const ServiceSettingsRecord &settings = ServiceSettings;
    if (!ConfigComplete) {
        PrintConfigIncomplete();
        return ExitConfigIncomplete;
    }
    switch (UninstallService()) {
    case UninstallDone:
        printf("\n%s (%s) service uninstalled successfully.\n", settings.DisplayName, settings.ServiceKeyName);
        WriteLog(1, "Service %s (%s) uninstalled successfully.", settings.DisplayName, settings.ServiceKeyName);
        return ExitSuccess;
    case UninstallPending:
        printf("\n%s (%s) service is still running and will be uninstalled when stopped.\n",
               settings.DisplayName, settings.ServiceKeyName);
        WriteLog(1, "Service %s (%s) is still running and will be uninstalled when stopped.",
                 settings.DisplayName, settings.ServiceKeyName);
        return ExitStillRunning;
    default:
        // UninstallService has said why; a failed removal must not look like success.
        return ExitUninstallFailed;
    }
}

// Without a readable version resource nothing is printed.
static void PrintUsage(void)
{
    WORD version[4];
    if (!ReadProductVersion(ServiceSettings.ExePath, version))
        return;
    const char *name = ServiceSettings.ServiceKeyName;
    printf("\nPelorin v%d.%d.%d%s\n\nUsage:\n\t %s -i\t\tInstall %s service\n\t %s -u\t\tUninstall %s service\n",
           version[0], version[1], version[2], "", name, name, name, name);
}

int RunCommandLine(int argc, char **argv)
{
    // A service's ServiceMain loads the settings again and logs what is
    // missing: logged here too, each line would come twice.
    ConfigComplete = argc < 2 ? LoadSettingsQuietly() : LoadSettings(1);
    SetVirtualBoxEnvironment();
    VistaOrLater = CheckWindowsVersion();

    if (argc < 2) {
        RunServiceDispatcher();
        return ExitSuccess;
    }
    if (_stricmp(argv[1], "-i") == 0)
        return RunInstall();
    if (_stricmp(argv[1], "-u") == 0)
        return RunUninstall();
    PrintUsage();
    return ExitSuccess;
}
