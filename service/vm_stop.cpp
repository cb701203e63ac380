#include "vm_stop.h"

#include "log.h"
#include "settings.h"
#include "vbox_session.h"

HRESULT StopResult;

// Calls the console method for the stop method; the power-off and save-state
// calls hand back a progress object to wait on.
static HRESULT CallStopMethod(IConsole *console, enum StopMethod method, IProgress **progress)
{
    switch (method) {
    case StopMethodSaveState:
        return console->SaveState(progress);
    case StopMethodAcpiPowerButton:
        return console->PowerButton();
    case StopMethodAcpiSleepButton:
        return console->SleepButton();
    default:
        return console->PowerDown(progress);
    }
}

static void StopThroughConsole(IConsole *console, const char *name, const char *word, enum StopMethod method)
{
    IProgress *progress = NULL;

    HRESULT result = CallStopMethod(console, method, &progress);
    if (FAILED(result))
        WriteLog(1, "ERROR stopping VM '%s' (0x%08x)", name, (unsigned)result);

    if (progress != NULL) {
        // No time limit: MaxWaitTimeout is only the hint the heartbeat reports meanwhile.
        StopResult = progress->WaitForCompletion(-1);
        if (FAILED(StopResult))
            WriteLog(1, "ERROR stopping (%s) VM '%s' (0x%08x)", word, name, (unsigned)StopResult);
        progress->Release();
    } else if (SUCCEEDED(result)) {
        WriteLog(2, "VM '%s' was sent a stop signal (%s)", name, word);
    }
}

void StopVm(const char *name)
{
    // One snapshot, so that the method used and the word logged agree even if
    // another stop control reloads the settings meanwhile.
    char word[sizeof(ServiceSettings.ShutdownCommand)];
    enum StopMethod method;
    CopyShutdownSettings(word, sizeof(word), &method);

    WriteLog(2, "Stopping (%s) VM '%s'", word, name);
    // The one-off method is used exactly once, whatever happens next.
    WritePrivateProfileStringA(SETTINGS_SECTION, "ShutdownOnceCommand", NULL, ServiceSettings.IniPath);

    IMachine *machine = NULL;
    if (!FindMachine(ServiceVirtualBox, name, &machine))
        return;

    BSTR uuid = NULL;
    HRESULT result = machine->get_Id(&uuid);
    if (FAILED(result)) {
        WriteLog(1, "ERROR retrieving machine ID (0x%08x)", (unsigned)result);
    } else {
        result = ServiceSession != NULL ? machine->LockMachine(ServiceSession, LockTypeShared) : E_POINTER;
        if (FAILED(result)) {
            WriteLog(1, "ERROR opening session (0x%08x)", (unsigned)result);
        } else {
            IConsole *console = NULL;
            result = ServiceSession->get_Console(&console);
            if (FAILED(result) || console == NULL) {
                WriteLog(1, "ERROR getting console (0x%08x)", (unsigned)(FAILED(result) ? result : E_POINTER));
            } else {
                StopThroughConsole(console, name, word, method);
                console->Release();
            }
            // Also after a failed get_Console: the shared lock must not outlive this stop.
            ServiceSession->UnlockMachine();
        }
        SysFreeString(uuid);
    }
    machine->Release();
}
