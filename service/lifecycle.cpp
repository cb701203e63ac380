#include "lifecycle.h"

#include "command_line.h"
#include "log.h"
#include "settings.h"
#include "version_info.h"

SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE StatusHandle;

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD, void *, void *)
{
    if (control == SERVICE_CONTROL_INTERROGATE)
        return NO_ERROR;
    return ERROR_CALL_NOT_IMPLEMENTED;
}

static void LogServiceStart(void)
{
    WORD version[4] = { 0, 0, 0, 0 };
    const char *suffix = "";
    if (!ReadProductVersion(ServiceSettings.ExePath, version))
        suffix = " (version unknown)";
    WriteLog(3, "Pelorin v%d.%d.%d.%d%s started", version[0], version[1], version[2], version[3], suffix);
}

static void ReportStoppedAtOnce(void)
{
    ServiceStatus.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(StatusHandle, &ServiceStatus);
}

void WINAPI ServiceMain(DWORD, char **)
{
    StatusHandle = RegisterServiceCtrlHandlerExA(ServiceSettings.ServiceKeyName, ServiceControlHandler, NULL);
    if (StatusHandle == NULL)
        return;

    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    if (VistaOrLater)
        ServiceStatus.dwControlsAccepted |= SERVICE_ACCEPT_PRESHUTDOWN;
    ServiceStatus.dwWin32ExitCode = 0;
    ServiceStatus.dwCheckPoint = 0;
    ServiceStatus.dwWaitHint = 0;

    if (!LoadSettings(1)) {
        ReportStoppedAtOnce();
        return;
    }
    LogServiceStart();
    // The machine supervisor is not part of this build yet: the service ends here.
    ReportStoppedAtOnce();
}
