#include "lifecycle.h"

#include <errno.h>
#include <process.h>

#include "command_line.h"
#include "log.h"
#include "pipe_server.h"
#include "settings.h"
#include "supervisor.h"
#include "version_info.h"

SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE StatusHandle;
int CheckPointCounter = 1;

// The handler, the supervisor and the heartbeat all report; one lock keeps a
// late heartbeat from reporting stop pending after the final stopped.
static CRITICAL_SECTION StatusLock;

static int InitializeStatusLock(void)
{
    InitializeCriticalSection(&StatusLock);
    return 1;
}

static int StatusLockReady = InitializeStatusLock();

// Stopped is final. A stop once pending is not undone by the start's own
// reports: a stop that arrived while the machine was starting keeps the
// service stop pending, so the heartbeat runs and the end is logged as a stop.
static int MayReport(DWORD current, DWORD state)
{
    if (current == SERVICE_STOPPED)
        return 0;
    if (current == SERVICE_STOP_PENDING)
        return state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED;
    return 1;
}

static void ReportLocked(DWORD state, DWORD win32ExitCode, DWORD waitHint)
{
    ServiceStatus.dwCurrentState = state;
    ServiceStatus.dwWin32ExitCode = win32ExitCode;
    ServiceStatus.dwWaitHint = waitHint;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        ServiceStatus.dwCheckPoint = 0;
    else
        ServiceStatus.dwCheckPoint = CheckPointCounter++;
    if (!SetServiceStatus(StatusHandle, &ServiceStatus))
        WriteLog(1, "ERROR settings service status: 0x%08x", (unsigned)GetLastError());
}

void ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint)
{
    EnterCriticalSection(&StatusLock);
    if (MayReport(ServiceStatus.dwCurrentState, state))
        ReportLocked(state, win32ExitCode, waitHint);
    LeaveCriticalSection(&StatusLock);
}

void ReportServiceStopped(DWORD serviceSpecificExitCode)
{
    EnterCriticalSection(&StatusLock);
    if (MayReport(ServiceStatus.dwCurrentState, SERVICE_STOPPED)) {
        ServiceStatus.dwServiceSpecificExitCode = serviceSpecificExitCode;
        ReportLocked(SERVICE_STOPPED, serviceSpecificExitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR, 0);
    }
    LeaveCriticalSection(&StatusLock);
}

// Tests the state and reports under one lock; 0 once the service is no longer stopping.
static int ReportStillStopping(void)
{
    EnterCriticalSection(&StatusLock);
    int stopping = ServiceStatus.dwCurrentState == SERVICE_STOP_PENDING;
    if (stopping)
        ReportLocked(SERVICE_STOP_PENDING, NO_ERROR, ServiceSettings.MaxWaitTimeout);
    LeaveCriticalSection(&StatusLock);
    return stopping;
}

// MaxWaitTimeout only bounds the silence between two reports, not the stop.
void __cdecl StopPendingHeartbeat(void *)
{
    while (ReportStillStopping())
        Sleep(1000);
}

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

void InitServiceStatus(void)
{
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    if (VistaOrLater)
        ServiceStatus.dwControlsAccepted |= SERVICE_ACCEPT_PRESHUTDOWN;
    ServiceStatus.dwWin32ExitCode = NO_ERROR;
    ServiceStatus.dwCheckPoint = 0;
    ServiceStatus.dwWaitHint = 0;
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
    _beginthread(PipeServerThread, 0, NULL);
}
