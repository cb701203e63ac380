#include "lifecycle.h"

#include <errno.h>
#include <process.h>

#include "log.h"
#include "pipe_server.h"
#include "service_status.h"
#include "settings.h"
#include "supervisor.h"
#include "version_info.h"

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD, void *, void *)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
        // In this order: the one-off method just written by the tray helper is
        // in the settings before the supervisor wakes up to use it.
        LoadSettings(0);
        ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, ServiceSettings.MaxWaitTimeout);
        SetEvent(StopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

static void LogServiceStart(void)
{
    WORD version[4] = { 0, 0, 0, 0 };
    const char *suffix = "";
    if (!ReadProductVersion(ServiceSettings.ExePath, version))
        suffix = " (version unknown)";
    WriteLog(3, "Pelorin v%d.%d.%d.%d%s started", version[0], version[1], version[2], version[3], suffix);
}

void WINAPI ServiceMain(DWORD, char **)
{
    // Before the handler can be called: a stop that arrives while the machine
    // is starting must find StopEvent to set.
    CreateSupervisorEvents();
    StatusHandle = RegisterServiceCtrlHandlerExA(ServiceSettings.ServiceKeyName, ServiceControlHandler, NULL);
    if (StatusHandle == NULL)
        return;
    InitServiceStatus();

    if (!LoadSettings(1)) {
        // Not a clean stop: recovery actions and monitoring must see the failure.
        ReportServiceStopped(SettingsIncompleteExitCode);
        return;
    }
    LogServiceStart();
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, 0);

    PipeServerRunning = 1;
    if (_beginthread(SupervisorThread, 0, NULL) == (uintptr_t)-1L) {
        WriteLog(1, "ERROR starting the supervisor thread (0x%08x)", (unsigned)errno);
        ReportServiceStopped(VmStartFailedExitCode);
        return;
    }
    // Without the pipe the machine still runs; only the tray's console offer is lost.
    if (_beginthread(PipeServerThread, 0, NULL) == (uintptr_t)-1L)
        WriteLog(1, "ERROR starting the control pipe's thread (0x%08x); remote display queries are not served",
                 (unsigned)errno);
}
