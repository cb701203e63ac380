#include "vm_start.h"

#include <io.h>
#include <stdio.h>
#include <string.h>

#include "log.h"
#include "settings.h"
#include "supervisor.h"
#include "vbox_session.h"

PROCESS_INFORMATION VmProcess;
HANDLE VmExitWait;
HANDLE AdoptedVmProcess;

enum StartAction {
    StartActionLaunch,
    StartActionAdopt,
    StartActionRefuse
};

static const ULONG WaitFlags = WT_EXECUTEONLYONCE | WT_EXECUTELONGFUNCTION;

// By the state's meaning in the generation in use: a running machine is
// adopted, one being stopped or saved is refused, any other is started
// (AbortedSaved like Saved).
static enum StartAction ChooseStartAction(ULONG state)
{
    if (state == VboxStateNumber(VmStateRunning) || state == VboxStateNumber(VmStatePaused)
        || state == VboxStateNumber(VmStateStarting) || state == VboxStateNumber(VmStateRestoring))
        return StartActionAdopt;
    if (state == VboxStateNumber(VmStateStopping) || state == VboxStateNumber(VmStateSaving))
        return StartActionRefuse;
    return StartActionLaunch;
}

// VirtualBox already runs the machine: watch the process that holds its session.
static int AdoptRunningVm(IMachine *machine, const char *name)
{
    ULONG pid = 0;
    CallVbox(machine, MachineGetSessionPid, &pid);
    WriteLog(2, "VM '%s' is already running (pid=%d), using existing session", name, (int)pid);

    // Without a wait on its process the service would never learn that the machine ended.
    if (pid == 0) {
        WriteLog(1, "ERROR watching VM '%s': VirtualBox names no session process", name);
        return 0;
    }
    // The right to end it too, for the last resort of a stop that VirtualBox
    // never finishes; without it the machine is still watched.
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    if (process == NULL)
        process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == NULL) {
        WriteLog(1, "ERROR watching VM '%s': can't open process %d (0x%08x)", name, (int)pid, (unsigned)GetLastError());
        return 0;
    }
    if (!RegisterWaitForSingleObject(&VmExitWait, process, OnVmProcessExit, NULL, INFINITE, WaitFlags)) {
        WriteLog(1, "ERROR watching VM '%s': can't wait for process %d (0x%08x)", name, (int)pid, (unsigned)GetLastError());
        CloseHandle(process);
        return 0;
    }
    AdoptedVmProcess = process;
    return 1;
}

// Starts VBoxHeadless for the machine's UUID, without a window, at the configured priority.
static int LaunchHeadless(IMachine *machine, const char *name, const char *headlessPath)
{
    BSTR uuid = NULL;
    if (FAILED(CallVbox(machine, MachineGetId, &uuid))) {
        WriteLog(1, "ERROR getting machine guid for VM '%s'", name);
        return 0;
    }
    char uuidText[64];
    int converted = CopyToAnsi(uuid, uuidText, sizeof(uuidText));
    SysFreeString(uuid);
    if (!converted) {
        WriteLog(1, "ERROR getting machine guid for VM '%s'", name);
        return 0;
    }

    // A path with blanks is quoted, so that Windows cannot run C:\Program.exe in
    // its place and VBoxHeadless reads its own arguments correctly.
    const char *quote = strpbrk(headlessPath, " \t") != NULL ? "\"" : "";
    char commandLine[2 * MAX_PATH];
    int length = snprintf(commandLine, sizeof(commandLine), "%s%s%s -s \"%s\" -v config",
                          quote, headlessPath, quote, uuidText);
    if (length < 0 || length >= (int)sizeof(commandLine)) {
        WriteLog(1, "ERROR starting VM '%s': command line too long", name);
        return 0;
    }

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    ZeroMemory(&VmProcess, sizeof(VmProcess));

    WriteLog(2, "Starting VM '%s'", name);
    DWORD flags = ServiceSettings.PriorityClass | CREATE_NO_WINDOW;
    // No environment block: VBoxHeadless inherits VBOX_INSTALL_PATH and VBOX_USER_HOME.
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, flags, NULL, NULL, &startup, &VmProcess)) {
        WriteLog(1, "ERROR starting VM '%s' (0x%08x)", name, (unsigned)GetLastError());
        ZeroMemory(&VmProcess, sizeof(VmProcess));
        return 0;
    }
    WriteLog(2, "VM '%s' started", name);

    if (!RegisterWaitForSingleObject(&VmExitWait, VmProcess.hProcess, OnVmProcessExit, NULL, INFINITE, WaitFlags)) {
        WriteLog(1, "ERROR watching VM '%s' (0x%08x)", name, (unsigned)GetLastError());
        // Unwatched, the machine could never be stopped by the service: end it
        // before the service reports the failed start.
        TerminateProcess(VmProcess.hProcess, 1);
        WaitForSingleObject(VmProcess.hProcess, 10000);
        CloseHandle(VmProcess.hThread);
        CloseHandle(VmProcess.hProcess);
        ZeroMemory(&VmProcess, sizeof(VmProcess));
        return 0;
    }
    return 1;
}

int StartVm(const char *name)
{
    char headlessPath[MAX_PATH];
    int length = snprintf(headlessPath, sizeof(headlessPath), "%s\\VBoxHeadless.exe", ServiceSettings.VboxInstallPath);
    if (length < 0 || length >= (int)sizeof(headlessPath) || _access(headlessPath, 0) == -1) {
        WriteLog(2, "ERROR: Can't find VBoxHeadless executable. Check your VboxInstallPath option in %s",
                 ServiceSettings.IniPath);
        return 0;
    }

    // Without a session the machine could be started but never stopped again.
    if (ServiceVirtualBox != NULL && ServiceSession == NULL) {
        WriteLog(1, "ERROR starting VM '%s': no VirtualBox session", name);
        return 0;
    }

    IMachine *machine = NULL;
    if (!FindMachine(ServiceVirtualBox, name, &machine))
        return 0;

    int result = 0;
    ULONG state = 0;
    HRESULT stateResult = CallVbox(machine, MachineGetState, &state);
    if (FAILED(stateResult)) {
        WriteLog(1, "ERROR reading VM state (0x%08x)", (unsigned)stateResult);
    } else {
        switch (ChooseStartAction(state)) {
        case StartActionAdopt:
            result = AdoptRunningVm(machine, name);
            break;
        case StartActionRefuse:
            WriteLog(1, "ERROR starting VM '%s' because it is stopping", name);
            break;
        case StartActionLaunch:
            result = LaunchHeadless(machine, name, headlessPath);
            break;
        }
    }
    machine->Release();
    return result;
}
