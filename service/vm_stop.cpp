#include "vm_stop.h"

#include <stdio.h>

#include "log.h"
#include "settings.h"
#include "vbox_session.h"

HRESULT StopResult;

// The machine's state is saved by the console in older generations, and by
// the session's own machine object from 5.2 on.
static HRESULT SaveMachineState(IConsole *console, ISession *session, IProgress **progress)
{
    if (VboxApi->saveStateHolder == SaveStateOnConsole)
        return CallVbox(console, ConsoleSaveState, progress);
    IMachine *sessionMachine = NULL;
    HRESULT result = CallVbox(session, SessionGetMachine, &sessionMachine);
    if (SUCCEEDED(result) && sessionMachine == NULL)
        result = E_POINTER;
    if (SUCCEEDED(result))
        result = CallVbox(sessionMachine, MachineSaveState, progress);
    if (sessionMachine != NULL)
        sessionMachine->Release();
    return result;
}

// Calls the console method for the stop method; the power-off and save-state
// calls hand back a progress object to wait on.
static HRESULT CallStopMethod(IConsole *console, ISession *session, enum StopMethod method, IProgress **progress)
{
    switch (method) {
    case StopMethodSaveState:
        return SaveMachineState(console, session, progress);
    case StopMethodAcpiPowerButton:
        return CallVbox(console, ConsolePowerButton);
    case StopMethodAcpiSleepButton:
        return CallVbox(console, ConsoleSleepButton);
    default:
        return CallVbox(console, ConsolePowerDown, progress);
    }
}

static enum StopOutcome StopThroughConsole(IConsole *console, const char *name, const char *word, enum StopMethod method,
                                           HRESULT *error)
{
    IProgress *progress = NULL;

    HRESULT result = CallStopMethod(console, ServiceSession, method, &progress);
    *error = result;
    if (FAILED(result))
        WriteLog(1, "ERROR stopping VM '%s' (0x%08x)", name, (unsigned)result);

    if (progress != NULL) {
        // No time limit: MaxWaitTimeout is only the hint the heartbeat reports meanwhile.
        StopResult = CallVbox(progress, ProgressWaitForCompletion, (LONG)-1);
        if (FAILED(StopResult)) {
            WriteLog(1, "ERROR stopping (%s) VM '%s' (0x%08x)", word, name, (unsigned)StopResult);
            *error = StopResult;
        }
        progress->Release();
        return FAILED(*error) ? StopRefused : StopCarriedOut;
    }
    if (FAILED(result))
        return StopRefused;
    WriteLog(2, "VM '%s' was sent a stop signal (%s)", name, word);
    return StopSignalled;
}

static enum StopOutcome Record(struct StopAttempt *attempt, const char *word, enum StopMethod method,
                               enum StopOutcome outcome, HRESULT error)
{
    if (attempt != NULL) {
        snprintf(attempt->word, sizeof(attempt->word), "%s", word);
        attempt->method = method;
        attempt->outcome = outcome;
        attempt->error = outcome == StopCarriedOut || outcome == StopSignalled ? S_OK : error;
    }
    return outcome;
}

enum StopOutcome StopVmWith(const char *name, const char *word, enum StopMethod method, struct StopAttempt *attempt)
{
    IMachine *machine = NULL;
    HRESULT lookup = S_OK;
    if (!FindMachine(ServiceVirtualBox, name, &machine, &lookup))
        return Record(attempt, word, method, StopUnreachable, lookup);

    enum StopOutcome outcome = StopUnreachable;
    BSTR uuid = NULL;
    HRESULT result = CallVbox(machine, MachineGetId, &uuid);
    if (FAILED(result)) {
        WriteLog(1, "ERROR retrieving machine ID (0x%08x)", (unsigned)result);
    } else {
        result = ServiceSession != NULL ? CallVbox(machine, MachineLockMachine, ServiceSession, LockTypeShared) : E_POINTER;
        if (FAILED(result)) {
            WriteLog(1, "ERROR opening session (0x%08x)", (unsigned)result);
        } else {
            IConsole *console = NULL;
            result = CallVbox(ServiceSession, SessionGetConsole, &console);
            if (FAILED(result) || console == NULL) {
                result = FAILED(result) ? result : E_POINTER;
                WriteLog(1, "ERROR getting console (0x%08x)", (unsigned)result);
            } else {
                outcome = StopThroughConsole(console, name, word, method, &result);
                console->Release();
            }
            // Also after a failed get_Console: the shared lock must not outlive this stop.
            CallVbox(ServiceSession, SessionUnlockMachine);
        }
        SysFreeString(uuid);
    }
    machine->Release();
    return Record(attempt, word, method, outcome, result);
}

// The one-off method is used exactly once, whatever happens next. A key that
// stays (an INI file the service may not write) would make it permanent
// without a word: it is read back, and said so.
static void RemoveShutdownOnceCommand(void)
{
    const char *ini = ServiceSettings.IniPath;
    DWORD error = 0;
    if (!WritePrivateProfileStringA(SETTINGS_SECTION, "ShutdownOnceCommand", NULL, ini))
        error = GetLastError();
    char left[64];
    GetPrivateProfileStringA(SETTINGS_SECTION, "ShutdownOnceCommand", "", left, sizeof(left), ini);
    if (left[0] != '\0')
        WriteLog(1, "ERROR removing ShutdownOnceCommand from '%s' (0x%08x); it applies to the next stop too", ini,
                 (unsigned)error);
}

void RecordStopOfGoneVm(struct StopAttempt *attempt)
{
    char word[sizeof(ServiceSettings.ShutdownCommand)];
    enum StopMethod method;
    CopyShutdownSettings(word, sizeof(word), &method);
    RemoveShutdownOnceCommand();
    Record(attempt, word, method, StopCarriedOut, S_OK);
}

enum StopOutcome StopVm(const char *name, struct StopAttempt *attempt)
{
    // One snapshot, so that the method used and the word logged agree even if
    // another stop control reloads the settings meanwhile.
    char word[sizeof(ServiceSettings.ShutdownCommand)];
    enum StopMethod method;
    CopyShutdownSettings(word, sizeof(word), &method);

    WriteLog(2, "Stopping (%s) VM '%s'", word, name);
    RemoveShutdownOnceCommand();
    return StopVmWith(name, word, method, attempt);
}
