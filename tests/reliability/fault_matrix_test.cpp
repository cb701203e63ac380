// The service under Wine's Service Control Manager while VirtualBox (the
// stand-in) fails: every fault of the start path and of the stop path one at
// a time, and a VBoxHeadless that crashes or hangs. What must hold: the
// service ends in a defined state with its log line, nothing hangs for good,
// no VBoxHeadless is left without a watcher, the INI file is kept.
#include "service_fixture.h"

#include "process_probe.h"
#include "service_harness.h"
#include "test_support.h"
#include "vbox_api.h"

namespace {

const long Failed = (long)0x80004005;
const std::vector<std::string> StartLines = { "Starting VM 'Web Server'", "VM 'Web Server' started" };

class FaultTest : public ServiceFixture {
protected:
    // A stop that could not be carried out leaves the service stop pending,
    // reporting progress, with its machine still running under its watch.
    void ExpectStillStopping(const std::string &row)
    {
        DWORD first = QueryServiceStatusOf(service).dwCheckPoint;
        DWORD later = first;
        for (int i = 0; i < 50 && later == first; i++) {
            Sleep(100);
            later = QueryServiceStatusOf(service).dwCheckPoint;
        }
        EXPECT_EQ((DWORD)SERVICE_STOP_PENDING, ServiceState()) << row;
        EXPECT_GT(later, first) << row;
        EXPECT_EQ(1u, HeadlessOfTheService()) << row;
    }

    // The service (a 32-bit one emulated, on some machines) may be slower than
    // the test: before the machine's process is ended, the stop has written
    // the log lines of its row and made the call that the row kills it in.
    void WaitForStopSteps(size_t logLines, const char *call = nullptr)
    {
        for (int i = 0; i < 200; i++) {
            if (LogMessages().size() >= logLines && (call == nullptr || !JournalOf(call).empty()))
                return;
            Sleep(50);
        }
    }

    // Ends the machine's VBoxHeadless as a crash or the task manager would.
    void EndHeadlessWith(DWORD exitCode)
    {
        StandinMachine machine = {};
        ASSERT_EQ(1, StandinGetMachine(TestVmName, &machine));
        HANDLE headless = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, machine.sessionPid);
        ASSERT_NE((HANDLE)NULL, headless);
        TerminateProcess(headless, exitCode);
        WaitForSingleObject(headless, 10000);
        CloseHandle(headless);
    }
};

TEST_F(FaultTest, EachFaultOnTheStartPathStopsTheServiceWithItsLineOrLetsItRun)
{
    struct Case {
        const char *fault;
        long state;  // of the machine when the service starts
        DWORD specificExitCode;
        std::vector<std::string> lines;
    } cases[] = {
        { "VirtualBox::CreateInstance", MachineStatePoweredOff, 0x80800001,
          { "ERROR creating VirtualBox instance (rc = 0x80004005)" } },
        { "Session::CreateInstance", MachineStatePoweredOff, 0x80800001,
          { "ERROR creating session instance (0x80004005)", "ERROR starting VM 'Web Server': no VirtualBox session" } },
        { "IVirtualBox::get_Version", MachineStatePoweredOff, 0x80800001,
          { "ERROR initializing VirtualBox interface", "ERROR starting VM 'Web Server': no VirtualBox session" } },
        { "IVirtualBox::FindMachine", MachineStatePoweredOff, 0x80800001,
          { "ERROR getting virtual machine interface (0x80004005)" } },
        { "IMachine::get_State", MachineStatePoweredOff, 0x80800001, { "ERROR reading VM state (0x80004005)" } },
        { "IMachine::get_Id", MachineStatePoweredOff, 0x80800001, { "ERROR getting machine guid for VM 'Web Server'" } },
        { "IMachine::get_SessionPid", MachineStateRunning, 0x80800001,
          { "VM 'Web Server' is already running (pid=0), using existing session",
            "ERROR watching VM 'Web Server': VirtualBox names no session process" } },
        // Only logged: the machine runs and stops as usual.
        { "IVirtualBox::get_HomeFolder", MachineStatePoweredOff, 0,
          JoinLines(StartLines, { "Stopping (poweroff) VM 'Web Server'", "VM 'Web Server' stopped (poweroff)" }) },
    };
    for (const Case &c : cases) {
        std::string before = Ini();
        BeginRow(before, c.state);
        PutMachine(c.state, c.state == MachineStateRunning ? GetCurrentProcessId() : 0);
        ASSERT_EQ(1, StandinSetFault(c.fault, Failed));

        if (c.specificExitCode == 0) {
            ASSERT_TRUE(StartRunning()) << c.fault;
            StopServiceByName(service);
        } else {
            StartServiceByName(service);
        }
        SERVICE_STATUS status = WaitStopped();
        EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState) << c.fault;
        EXPECT_EQ(c.specificExitCode != 0 ? 1066u : 0u, status.dwWin32ExitCode) << c.fault;
        EXPECT_EQ(c.specificExitCode, status.dwServiceSpecificExitCode) << c.fault;
        EXPECT_EQ(c.lines, LogMessages()) << c.fault;
        EXPECT_EQ(0u, HeadlessRunning()) << c.fault;
        EXPECT_EQ(before, ReadTextFile(ini)) << c.fault;
    }
}

// A 7.2 whose IConsole has another identifier (a later release that changed
// it and not IVirtualBox): the machine starts (that needs no console), every
// stop fails where the console is fetched, and no console method is ever
// called. Windows takes no further stop while the service is stop pending:
// the service goes on watching its machine until its process ends some
// other way.
TEST_F(FaultTest, AConsoleOfAnotherIdentifierIsNeverCalledAndEachStopFailsThere)
{
    const long Running72 = 6;
    for (const char *method : { "poweroff", "savestate", "acpipowerbutton", "acpisleepbutton" }) {
        std::string text = Ini(std::string("ShutdownCommand=") + method + "\r\n");
        BeginRow(text, MachineStatePoweredOff);
        ASSERT_EQ(1, StandinSetGeneration("7.2"));
        ASSERT_EQ(1, StandinSetMismatch("IConsole", "{019EBB0E-AEC6-71A3-9BB7-29548EF5B10C}"));
        DWORD started = StartServiceByName(service);
        ASSERT_TRUE(started == 0 || started == ERROR_SERVICE_REQUEST_TIMEOUT) << method;
        ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(service, SERVICE_RUNNING, 30000)) << method;
        ASSERT_EQ(Running72, WaitForMachineState(Running72)) << method;

        EXPECT_EQ(0u, StopServiceByName(service)) << method;
        ExpectStillStopping(method);
        WaitForStopSteps(StartLines.size() + 3);
        EndHeadlessWith(1);
        EXPECT_EQ((DWORD)SERVICE_STOPPED, WaitStopped().dwCurrentState) << method;
        std::vector<std::string> lines = { std::string("Stopping (") + method + ") VM 'Web Server'",
                                           "ERROR: VirtualBox's IConsole does not match the API generation 7.2 (0x80004002)",
                                           "ERROR getting console (0x80004002)",
                                           "VM 'Web Server' was terminated abnormally while stopping (0x00000001)" };
        EXPECT_EQ(JoinLines(StartLines, lines), LogMessages()) << method;
        EXPECT_EQ(0u, JournalOf("IConsole::").size()) << method;
        EXPECT_EQ(1u, JournalOf("ISession::get_Console").size()) << method;
    }
}

// A refused stop (the method's call or its progress failed) falls back at
// once, never to the method that failed; a stop that cannot reach the
// machine keeps the service stop pending until the machine's process ends
// another way. A power-off whose wait failed has still powered it off.
TEST_F(FaultTest, EachFaultOnTheStopPathFallsBackOrKeepsTheServiceStoppingUntilTheMachineEnds)
{
    const std::string refusedSave = "VM 'Web Server' refused the stop (savestate); stopping it (acpipowerbutton)";
    struct Case {
        const char *fault;
        const char *method;
        bool stuck;  // the stop fails; the machine runs on until its process is ended
        std::vector<std::string> lines;
        long endState;
        bool abnormal;  // 1066 / 0x80800003
        long powerDownDelay;
    } cases[] = {
        { "IVirtualBox::FindMachine", "poweroff", true,
          { "Stopping (poweroff) VM 'Web Server'", "ERROR getting virtual machine interface (0x80004005)" },
          MachineStateAborted, true, 0 },
        { "IMachine::get_Id", "poweroff", true,
          { "Stopping (poweroff) VM 'Web Server'", "ERROR retrieving machine ID (0x80004005)" }, MachineStateAborted,
          true, 0 },
        { "IMachine::LockMachine", "poweroff", true,
          { "Stopping (poweroff) VM 'Web Server'", "ERROR opening session (0x80004005)" }, MachineStateAborted, true, 0 },
        { "ISession::get_Console", "poweroff", true,
          { "Stopping (poweroff) VM 'Web Server'", "ERROR getting console (0x80004005)" }, MachineStateAborted, true, 0 },
        { "IConsole::PowerDown", "poweroff", false,
          { "Stopping (poweroff) VM 'Web Server'", "ERROR stopping VM 'Web Server' (0x80004005)",
            "VM 'Web Server' refused the stop (poweroff); stopping it (savestate)", "VM 'Web Server' stopped (savestate)" },
          MachineStateSaved, false, 0 },
        // The fallback does not save again: the power button stops it.
        { "IConsole::SaveState", "savestate", false,
          { "Stopping (savestate) VM 'Web Server'", "ERROR stopping VM 'Web Server' (0x80004005)", refusedSave,
            "VM 'Web Server' was sent a stop signal (acpipowerbutton)", "VM 'Web Server' stopped (acpipowerbutton)" },
          MachineStatePoweredOff, false, 0 },
        { "IConsole::PowerButton", "acpipowerbutton", false,
          { "Stopping (acpipowerbutton) VM 'Web Server'", "ERROR stopping VM 'Web Server' (0x80004005)",
            "VM 'Web Server' refused the stop (acpipowerbutton); stopping it (savestate)",
            "VM 'Web Server' stopped (savestate)" }, MachineStateSaved, false, 0 },
        { "IConsole::SleepButton", "acpisleepbutton", false,
          { "Stopping (acpisleepbutton) VM 'Web Server'", "ERROR stopping VM 'Web Server' (0x80004005)",
            "VM 'Web Server' refused the stop (acpisleepbutton); stopping it (savestate)",
            "VM 'Web Server' stopped (savestate)" }, MachineStateSaved, false, 0 },
        // The power-off goes on while the wait for it fails: no save is tried.
        { "IProgress::WaitForCompletion", "poweroff", false,
          { "Stopping (poweroff) VM 'Web Server'", "ERROR stopping (poweroff) VM 'Web Server' (0x80004005)",
            "VM 'Web Server' refused the stop (poweroff); stopping it (savestate)", "VM 'Web Server' stopped (poweroff)" },
          MachineStatePoweredOff, false, 2000 },
        // Not examined by the stop: it goes on as usual.
        { "IMachine::get_State", "poweroff", false,
          { "Stopping (poweroff) VM 'Web Server'", "VM 'Web Server' stopped (poweroff)" }, MachineStatePoweredOff, false,
          0 },
        { "ISession::UnlockMachine", "savestate", false,
          { "Stopping (savestate) VM 'Web Server'", "VM 'Web Server' stopped (savestate)" }, MachineStateSaved, false, 0 },
    };
    for (const Case &c : cases) {
        std::string text = Ini(std::string("ShutdownCommand=") + c.method + "\r\n");
        BeginRow(text, MachineStatePoweredOff);
        ASSERT_TRUE(StartRunning()) << c.fault;
        ASSERT_EQ(1, StandinSetDelay("PowerDown", c.powerDownDelay));
        ASSERT_EQ(1, StandinSetFault(c.fault, Failed));

        EXPECT_EQ(0u, StopServiceByName(service)) << c.fault;
        std::vector<std::string> lines = c.lines;
        if (c.stuck) {
            ExpectStillStopping(c.fault);
            EXPECT_EQ((DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL, StopServiceByName(service)) << c.fault;
            WaitForStopSteps(StartLines.size() + lines.size());
            EndHeadlessWith(1);
            lines.push_back("VM 'Web Server' was terminated abnormally while stopping (0x00000001)");
        }
        SERVICE_STATUS status = WaitStopped();
        EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState) << c.fault;
        EXPECT_EQ(c.abnormal ? 1066u : 0u, status.dwWin32ExitCode) << c.fault;
        EXPECT_EQ(c.abnormal ? 0x80800003u : 0u, status.dwServiceSpecificExitCode) << c.fault;
        EXPECT_EQ(JoinLines(StartLines, lines), LogMessages()) << c.fault;
        EXPECT_EQ(c.endState, MachineState()) << c.fault;
        EXPECT_EQ(0u, HeadlessRunning()) << c.fault;
        EXPECT_EQ(text, ReadTextFile(ini)) << c.fault;
    }
}

TEST_F(FaultTest, AVBoxHeadlessThatCrashesOrHangsEndsTheServiceWithAnErrorWhenItsProcessEnds)
{
    struct Case {
        const char *row;
        const char *method;
        const char *behaviour;
        const char *delayed;  // a stop operation that takes its time, or never ends
        long delayMs;
        DWORD killedWith;     // 0: not killed
        bool stopFirst;       // killed once this console call has been made
        const char *call;
        std::vector<std::string> lines;
    } cases[] = {
        { "killed while running", "poweroff", "normal", NULL, 0, 0xC0000005, false, nullptr,
          { "VM 'Web Server' was terminated abnormally (0xc0000005)" } },
        // The operation under way fails with its machine, and says so.
        { "killed while saving", "savestate", "normal", "SaveState", 60000, 0xC0000005, true, "IConsole::SaveState",
          { "Stopping (savestate) VM 'Web Server'", "ERROR stopping (savestate) VM 'Web Server' (0x80004005)",
            "VM 'Web Server' was terminated abnormally while stopping (0xc0000005)" } },
        { "hangs on power off", "poweroff", "hang", NULL, 0, 1, true, "IConsole::PowerDown",
          { "Stopping (poweroff) VM 'Web Server'", "ERROR stopping (poweroff) VM 'Web Server' (0x80004005)",
            "VM 'Web Server' was terminated abnormally while stopping (0x00000001)" } },
        { "guest ignores the button", "acpipowerbutton", "normal", "PowerButton", -1, 1, true, "IConsole::PowerButton",
          { "Stopping (acpipowerbutton) VM 'Web Server'", "VM 'Web Server' was sent a stop signal (acpipowerbutton)",
            "VM 'Web Server' was terminated abnormally while stopping (0x00000001)" } },
    };
    for (const Case &c : cases) {
        std::string text = Ini(std::string("ShutdownCommand=") + c.method + "\r\n");
        BeginRow(text, MachineStatePoweredOff);
        ASSERT_EQ(1, StandinSetHeadlessBehaviour(TestVmName, c.behaviour, 0));
        if (c.delayed != NULL) {
            ASSERT_EQ(1, StandinSetDelay(c.delayed, c.delayMs));
        }
        ASSERT_TRUE(StartRunning()) << c.row;

        if (c.stopFirst) {
            EXPECT_EQ(0u, StopServiceByName(service)) << c.row;
            ExpectStillStopping(c.row);
            // The lines before the kill: the operation's failure, if any, and the end come after it.
            bool failsWithIt = c.lines[1].find("ERROR stopping (") == 0;
            WaitForStopSteps(StartLines.size() + c.lines.size() - (failsWithIt ? 2 : 1), c.call);
        }
        if (c.killedWith != 0)
            EndHeadlessWith(c.killedWith);
        SERVICE_STATUS status = WaitStopped();
        EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState) << c.row;
        EXPECT_EQ(1066u, status.dwWin32ExitCode) << c.row;
        EXPECT_EQ(0x80800003u, status.dwServiceSpecificExitCode) << c.row;
        EXPECT_EQ(JoinLines(StartLines, c.lines), LogMessages()) << c.row;
        EXPECT_EQ(0u, HeadlessRunning()) << c.row;
        EXPECT_EQ(text, ReadTextFile(ini)) << c.row;
    }
}

// A guest that does not react to its ACPI button within ShutdownTimeout is
// stopped by the fallback, with the heartbeat going on meanwhile; a guest
// that missed the first press of the power button gets a second, half way.
// A guest that goes down just after the time-out, as the fallback is refused
// for it, has stopped cleanly.
TEST_F(FaultTest, AGuestThatIgnoresItsButtonIsStoppedByTheFallbackAfterShutdownTimeout)
{
    struct Case {
        const char *method;
        const char *delayed;    // the button whose guest reacts late
        long delay;             // ms after the press; -1: never
        DWORD timeout;
        const char *fallback;
        long endState;          // -1: still stopping, the machine's process is ended by hand
        bool reactsToTheSecondPress;
        std::vector<std::string> lines;
        const char *refused = nullptr;  // VirtualBox refuses the fallback's console call
    } cases[] = {
        { "acpipowerbutton", "PowerButton", -1, 3000, "savestate", MachineStateSaved, false,
          { "VM 'Web Server' did not stop within 3000 ms; stopping it (savestate)", "VM 'Web Server' stopped (savestate)" } },
        { "acpipowerbutton", "PowerButton", -1, 3000, "poweroff", MachineStatePoweredOff, false,
          { "VM 'Web Server' did not stop within 3000 ms; stopping it (poweroff)", "VM 'Web Server' stopped (poweroff)" } },
        { "acpisleepbutton", "SleepButton", -1, 3000, "savestate", MachineStateSaved, false,
          { "VM 'Web Server' did not stop within 3000 ms; stopping it (savestate)", "VM 'Web Server' stopped (savestate)" } },
        { "acpipowerbutton", "PowerButton", -1, 3000, "none", -1, false,
          { "VM 'Web Server' was terminated abnormally while stopping (0x00000001)" } },
        { "acpipowerbutton", "PowerButton", -1, 20000, "savestate", MachineStatePoweredOff, true,
          { "VM 'Web Server' was sent a stop signal (acpipowerbutton)", "VM 'Web Server' stopped (acpipowerbutton)" } },
        // The power-off is refused, as for a machine whose guest is going down.
        { "acpipowerbutton", "PowerButton", 3800, 3000, "poweroff", MachineStatePoweredOff, false,
          { "VM 'Web Server' did not stop within 3000 ms; stopping it (poweroff)",
            "ERROR stopping VM 'Web Server' (0x80004005)", "VM 'Web Server' stopped (acpipowerbutton)" },
          "IConsole::PowerDown" },
    };
    for (const Case &c : cases) {
        std::string row = std::string(c.method) + " " + c.fallback + " " + std::to_string(c.timeout) + " " +
                          std::to_string(c.delay);
        std::string text = Ini(std::string("ShutdownCommand=") + c.method + "\r\nShutdownTimeout=" +
                               std::to_string(c.timeout) + "\r\nShutdownFallbackCommand=" + c.fallback + "\r\n");
        BeginRow(text, MachineStatePoweredOff);
        ASSERT_EQ(1, StandinSetDelay(c.delayed, c.delay));
        if (c.refused != nullptr) {
            ASSERT_EQ(1, StandinSetFault(c.refused, Failed));
        }
        ASSERT_TRUE(StartRunning()) << row;
        StartSamplingStatus(service);
        DWORD begun = GetTickCount();
        EXPECT_EQ(0u, StopServiceByName(service)) << row;
        if (c.reactsToTheSecondPress) {
            for (int i = 0; i < 100 && JournalOf("IConsole::PowerButton").empty(); i++)
                Sleep(50);
            ASSERT_EQ(1, StandinSetDelay(c.delayed, 0));
        }
        if (c.endState < 0) {
            Sleep(c.timeout + 1000);
            ExpectStillStopping(row);
            EndHeadlessWith(1);
        }
        SERVICE_STATUS status = WaitStopped(c.timeout + 30000);
        DWORD took = GetTickCount() - begun;
        std::vector<StatusReport> reports = StopSamplingStatus();
        EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState) << row;
        EXPECT_EQ(c.endState < 0 ? 1066u : 0u, status.dwWin32ExitCode) << row;
        std::vector<std::string> lines = { std::string("Stopping (") + c.method + ") VM 'Web Server'",
                                           std::string("VM 'Web Server' was sent a stop signal (") + c.method + ")" };
        EXPECT_EQ(JoinLines(StartLines, JoinLines(lines, c.lines)), LogMessages()) << row;
        if (c.endState >= 0) {
            EXPECT_EQ(c.endState, MachineState()) << row;
        }
        // The second press half way, the fallback at the time-out: not before.
        EXPECT_GE(took, c.reactsToTheSecondPress ? c.timeout / 2 : c.timeout) << row;
        EXPECT_EQ(c.reactsToTheSecondPress ? 2u : 1u, JournalOf(std::string("IConsole::") + c.delayed).size()) << row;
        // The heartbeat throughout: a stop-pending report with a new checkpoint every second.
        size_t pending = 0;
        for (const StatusReport &report : reports) {
            if (report.state == SERVICE_STOP_PENDING) {
                pending++;
                EXPECT_EQ(300000u, report.waitHint) << row;
            }
        }
        EXPECT_GE(pending, (size_t)(took / 1000 - 1)) << row;
    }
}

// VirtualBox as it really fails: a save whose outcome fails, as each
// generation leaves the machine after it; guests that do not listen or go to
// sleep; a machine that saves itself as the stop comes; a crashed guest; a
// VirtualBox that never finishes. Each stop ends, and each end is told as it was.
TEST_F(FaultTest, AFaithfulVirtualBoxsFailuresAreToldTrulyAndEveryStopEnds)
{
    const std::string fullDisk = "ERROR stopping (savestate) VM 'Web Server' (0x80bb0004)",
                      toButton = "VM 'Web Server' refused the stop (savestate); stopping it (acpipowerbutton)",
                      tooLong = "ERROR: VirtualBox did not finish stopping VM 'Web Server' within 2000 ms; ending its process",
                      ended = "VM 'Web Server' was terminated abnormally while stopping (0x0000042b)",
                      saved = "VM 'Web Server' stopped (savestate)", off = "VM 'Web Server' stopped (poweroff)",
                      button = "VM 'Web Server' stopped (acpipowerbutton)";
    const char *timeout = "VirtualBoxTimeout=2000\r\n";
    struct Case {
        const char *row, *generation, *method, *extra, *guest;
        const char *outcomeOf, *delayed;  // its progress fails with a full disk; slowed once the machine runs
        long delay, endState;             // endState -1: not checked
        bool savesItself, crashes;        // VBoxHeadless saves its machine as the stop comes; the guest crashes, no stop
        DWORD specificExitCode;
        std::vector<std::string> lines;  // after the start's and the stop's own
    } cases[] = {
        { "4.0 save fails: paused, no second save", "4.0", "savestate", "", "normal", "IConsole::SaveState", NULL, 0, 1,
          false, false, 0, { fullDisk, toButton, "VM 'Web Server' is paused; stopping it (poweroff)", off } },
        { "5.2 save fails: running, the button", "5.2", "savestate", "", "normal", "IMachine::SaveState", NULL, 0, 1, false,
          false, 0, { fullDisk, toButton, "VM 'Web Server' was sent a stop signal (acpipowerbutton)", button } },
        { "7.0 save fails: left saving, its process ended", "7.0", "savestate", timeout, "normal", "IMachine::SaveState",
          NULL, 0, -1, false, false, 0x80800003,
          { "ERROR stopping (savestate) VM 'Web Server' (0x80004005)", toButton, tooLong, ended } },
        { "7.2 save fails: the fallback powers off", "7.2", "savestate", "ShutdownFallbackCommand=poweroff\r\n", "normal",
          "IMachine::SaveState", NULL, 0, 1, false, false, 0,
          { fullDisk, "VM 'Web Server' refused the stop (savestate); stopping it (poweroff)", off } },
        { "a guest without ACPI is saved", "4.0", "acpipowerbutton", "", "no-acpi", NULL, NULL, 0, 2, false, false, 0,
          { "VM 'Web Server' has not entered ACPI mode; stopping it (savestate)", saved } },
        { "a guest that sleeps is saved asleep", "6.1", "acpisleepbutton", "", "sleeps", NULL, NULL, 0, 2, false, false, 0,
          { "VM 'Web Server' was sent a stop signal (acpisleepbutton)", "VM 'Web Server' is paused; stopping it (savestate)",
            saved } },
        { "a machine that saves itself is awaited", "7.1", "acpipowerbutton", "", "normal", NULL, "SaveState", 8000, 2,
          true, false, 0, { "VM 'Web Server' is already stopping (savestate); the stop waits for it", saved } },
        { "a save that never completes", "4.0", "savestate", timeout, "normal", NULL, "SaveState", -1, -1, false, false,
          0x80800003, { tooLong, ended } },
        { "a VirtualBox call that never returns", "4.0", "poweroff", timeout, "normal", NULL, "FindMachine", 30000, -1,
          false, false, 0x80800003, { tooLong, ended } },
        { "a guest that crashes", "5.2", "poweroff", "", "normal", NULL, NULL, 0, 1, false, true, 0x80800003,
          { "ERROR: VM 'Web Server' has crashed (Guru Meditation); powering it off",
            "VM 'Web Server' was powered off after its guest crashed" } },
    };
    for (const Case &c : cases) {
        BeginRow(Ini(std::string("ShutdownCommand=") + c.method + "\r\n" + c.extra), MachineStatePoweredOff);
        ASSERT_EQ(1, StandinSetGeneration(c.generation)) << c.row;
        StandinMachine machine = {};
        ASSERT_EQ(1, StandinGetMachine(TestVmName, &machine));
        machine.sleepStates = 1;
        ASSERT_EQ(1, StandinPutMachine(&machine));
        ASSERT_EQ(1, StandinSetGuest(TestVmName, c.guest)) << c.row;
        ASSERT_TRUE(c.outcomeOf == NULL || StandinSetOutcome(c.outcomeOf, (long)0x80BB0004) == 1) << c.row;
        ASSERT_TRUE(StartRunning(std::string(c.generation) >= "7.0" ? 6 : MachineStateRunning)) << c.row;
        ASSERT_TRUE(c.delayed == NULL || StandinSetDelay(c.delayed, c.delay) == 1) << c.row;
        ASSERT_TRUE(!c.savesItself || StandinHeadlessEnds(TestVmName, "savestate") == 1) << c.row;
        ASSERT_TRUE(c.crashes ? StandinSetGuest(TestVmName, "crashes") == 1 : StopServiceByName(service) == 0) << c.row;
        SERVICE_STATUS status = WaitStopped(90000);
        StandinSetDelay("FindMachine", 0);
        EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState) << c.row;
        EXPECT_EQ(c.specificExitCode != 0 ? 1066u : 0u, status.dwWin32ExitCode) << c.row;
        EXPECT_EQ(c.specificExitCode, status.dwServiceSpecificExitCode) << c.row;
        std::vector<std::string> stop = { std::string("Stopping (") + c.method + ") VM 'Web Server'" };
        EXPECT_EQ(JoinLines(StartLines, c.crashes ? c.lines : JoinLines(stop, c.lines)), LogMessages()) << c.row;
        EXPECT_TRUE(c.endState < 0 || c.endState == MachineState()) << c.row << " " << MachineState();
        EXPECT_EQ(0u, HeadlessRunning()) << c.row;
    }
}

}  // namespace
