#include "supervisor.h"

#include <process.h>

#include "service_status.h"
#include "log.h"
#include "pipe_server.h"
#include "settings.h"
#include "vbox_session.h"
#include "vm_start.h"
#include "vm_stop.h"

HANDLE StopEvent;
HANDLE VmExitedEvent;

int CreateSupervisorEvents(void)
{
    StopEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    VmExitedEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (StopEvent != NULL && VmExitedEvent != NULL)
        return 1;
    WriteLog(1, "ERROR creating the service's events (0x%08x)", (unsigned)GetLastError());
    return 0;
}

void CALLBACK OnVmProcessExit(void *, BOOLEAN)
{
    SetEvent(VmExitedEvent);
}

// A non-zero exit code of VBoxHeadless is shown bare; a failed stop operation
// of a process that exited cleanly is shown as rc=. The exit code wins.
static void LogVmEnd(const char *name, DWORD exitCode, int stopping)
{
    if (exitCode == 0 && SUCCEEDED(StopResult)) {
        char word[sizeof(ServiceSettings.ShutdownCommand)];
        enum StopMethod method;
        CopyShutdownSettings(word, sizeof(word), &method);
        if (stopping)
            WriteLog(2, "VM '%s' stopped (%s)", name, word);
        else
            WriteLog(2, "VM '%s' stopped by itself", name);
        return;
    }
    const char *prefix = exitCode != 0 ? "" : "rc=";
    unsigned code = exitCode != 0 ? (unsigned)exitCode : (unsigned)StopResult;
    if (stopping)
        WriteLog(1, "VM '%s' was terminated abnormally while stopping (%s0x%08x)", name, prefix, code);
    else
        WriteLog(1, "VM '%s' was terminated abnormally (%s0x%08x)", name, prefix, code);
}

// The machine's process has ended (or can no longer be waited for).
static void EndWatch(const char *name, int waitFailed)
{
    UnregisterWaitEx(VmExitWait, NULL);
    VmExitWait = NULL;
    if (waitFailed) {
        WriteLog(1, "ERROR waiting for VM '%s' (0x%08x)", name, (unsigned)GetLastError());
    } else {
        // An adopted machine has no process handle: the call fails and the code stays 0.
        DWORD exitCode = 0;
        GetExitCodeProcess(VmProcess.hProcess, &exitCode);
        LogVmEnd(name, exitCode, ServiceStatus.dwCurrentState == SERVICE_STOP_PENDING);
    }
    if (VmProcess.hProcess != NULL)
        CloseHandle(VmProcess.hProcess);
    if (VmProcess.hThread != NULL)
        CloseHandle(VmProcess.hThread);
    ZeroMemory(&VmProcess, sizeof(VmProcess));
    if (AdoptedVmProcess != NULL)
        CloseHandle(AdoptedVmProcess);
    AdoptedVmProcess = NULL;
}

static void WatchVm(const char *name)
{
    HANDLE events[2] = { StopEvent, VmExitedEvent };
    for (;;) {
        DWORD fired = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (fired == WAIT_OBJECT_0) {
            // The heartbeat first: StopVm may block for as long as the machine takes.
            _beginthread(StopPendingHeartbeat, 0, NULL);
            StopPipeServer();
            WaitForVmStarted(name);
            StopVm(name);
            continue;
        }
        // Waiting again after a failed wait would spin for ever.
        EndWatch(name, fired != WAIT_OBJECT_0 + 1);
        return;
    }
}

void __cdecl SupervisorThread(void *)
{
    const char *name = ServiceSettings.VmName;
    DWORD failure = 0;

    OpenVirtualBox();
    if (StopEvent == NULL || VmExitedEvent == NULL || !StartVm(name)) {
        failure = VmStartFailedExitCode;
    } else {
        ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
        WatchVm(name);
    }
    CloseVirtualBox();
    ReportServiceStopped(failure);
}
