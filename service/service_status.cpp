#include "service_status.h"

#include "command_line.h"
#include "log.h"
#include "settings.h"

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
        WriteLog(1, "ERROR setting service status: 0x%08x", (unsigned)GetLastError());
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
