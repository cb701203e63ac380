// The lifecycle in-process, where Wine cannot deliver a control: the control
// handler, the status reports and the supervisor, against the stand-in, with
// every SetServiceStatus recorded.
#include "vbox_fixture.h"

#include <process.h>

#include "command_line.h"
#include "import_hook.h"
#include "lifecycle.h"
#include "service_status.h"
#include "service_harness.h"
#include "settings.h"
#include "supervisor.h"
#include "test_support.h"
#include "vbox_api.h"
#include "vm_start.h"

namespace {

class LifecycleTest : public VboxTest {
protected:
    HANDLE supervisor = NULL;

    void SetUp() override
    {
        VboxTest::SetUp();
        WriteTextFile(ServiceSettings.IniPath, "[Pelorin]\r\nLoglevel=2\r\nShutdownCommand=poweroff\r\n");
        ServiceSettings.Loglevel = 2;
        VistaOrLater = 1;
        CloseHandle(VmExitedEvent);
        ASSERT_EQ(1, CreateSupervisorEvents());
        BeginRun();
    }

    // A service's status as its process starts, and its reports recorded from here on.
    void BeginRun()
    {
        ZeroMemory(&ServiceStatus, sizeof(ServiceStatus));
        CheckPointCounter = 1;
        InitServiceStatus();
        StartRecordingStatus();
    }

    void TearDown() override
    {
        if (supervisor != NULL) {
            EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(supervisor, 30000));
            CloseHandle(supervisor);
        }
        StopRecordingStatus();
        CloseHandle(StopEvent);
        VboxTest::TearDown();
    }

    // What ServiceMain does once the settings are loaded.
    void StartService()
    {
        ReportServiceStatus(SERVICE_START_PENDING, 0, 0);
        supervisor = StartJoinableThread(SupervisorThread);
    }

    bool WaitForSupervisor() { return WaitForSingleObject(supervisor, 30000) == WAIT_OBJECT_0; }
};

TEST_F(LifecycleTest, ControlsAreAnsweredAndStopsWakeTheSupervisorWithTheSettingsJustWritten)
{
    WriteTextFile(ServiceSettings.IniPath, "[Pelorin]\r\nShutdownOnceCommand=SaveState\r\nMaxWaitTimeout=1234\r\n");
    struct Case {
        DWORD control;
        DWORD answer;
        bool stops;
    } cases[] = {
        { SERVICE_CONTROL_STOP, NO_ERROR, true },     { SERVICE_CONTROL_SHUTDOWN, NO_ERROR, true },
        { SERVICE_CONTROL_PRESHUTDOWN, NO_ERROR, true }, { SERVICE_CONTROL_INTERROGATE, NO_ERROR, false },
        { SERVICE_CONTROL_PAUSE, 120, false },         { SERVICE_CONTROL_CONTINUE, 120, false },
        { SERVICE_CONTROL_PARAMCHANGE, 120, false },
    };
    for (const Case &c : cases) {
        ServiceStatus.dwCurrentState = SERVICE_RUNNING;
        ServiceSettings.StopMethod = StopMethodNone;
        StartRecordingStatus();
        EXPECT_EQ(c.answer, ServiceControlHandler(c.control, 0, NULL, NULL)) << c.control;
        std::vector<StatusReport> reports = RecordedStatus();
        EXPECT_EQ(c.stops, WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0) << c.control;
        ASSERT_EQ(c.stops ? 1u : 0u, reports.size()) << c.control;
        if (c.stops) {
            EXPECT_EQ((DWORD)SERVICE_STOP_PENDING, reports[0].state);
            EXPECT_EQ(1234u, reports[0].waitHint);
            EXPECT_EQ(0x105u, reports[0].controlsAccepted);
            EXPECT_EQ(StopMethodSaveState, ServiceSettings.StopMethod);
        }
    }
}

TEST_F(LifecycleTest, ReportsNeverUndoAStopNorTheFinalStopAndCheckpointsOnlyGrow)
{
    struct Case {
        DWORD from, to;
        bool reported;
    } cases[] = {
        { SERVICE_START_PENDING, SERVICE_RUNNING, true }, { SERVICE_RUNNING, SERVICE_STOP_PENDING, true },
        { SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, true }, { SERVICE_STOP_PENDING, SERVICE_STOPPED, true },
        { SERVICE_STOP_PENDING, SERVICE_RUNNING, false }, { SERVICE_STOP_PENDING, SERVICE_START_PENDING, false },
        { SERVICE_STOPPED, SERVICE_STOP_PENDING, false }, { SERVICE_STOPPED, SERVICE_RUNNING, false },
    };
    for (const Case &c : cases) {
        ServiceStatus.dwCurrentState = c.from;
        StartRecordingStatus();
        ReportServiceStatus(c.to, 0, 7);
        EXPECT_EQ(c.reported ? 1u : 0u, RecordedStatus().size()) << c.from << " to " << c.to;
    }
    // A heartbeat that starts after the final report says nothing.
    StartRecordingStatus();
    StopPendingHeartbeat(NULL);
    EXPECT_EQ(0u, RecordedStatus().size());

    VistaOrLater = 0;
    InitServiceStatus();
    ServiceStatus.dwCurrentState = 0;
    StartRecordingStatus();
    ReportServiceStatus(SERVICE_START_PENDING, 0, 0);
    ReportServiceStatus(SERVICE_RUNNING, 0, 0);
    ReportServiceStatus(SERVICE_STOP_PENDING, 0, 9);
    ReportServiceStopped(VmStartFailedExitCode);
    std::vector<StatusReport> reports = RecordedStatus();
    ASSERT_EQ(4u, reports.size());
    EXPECT_EQ(5u, reports[0].controlsAccepted);
    EXPECT_LT(reports[0].checkPoint, reports[2].checkPoint);
    EXPECT_EQ(0u, reports[1].checkPoint + reports[3].checkPoint);
    EXPECT_EQ(1066u, reports[3].win32ExitCode);
    EXPECT_EQ(0x80800001u, reports[3].specificExitCode);
}

static void *RealCreateProcess;

// Replacements of imports keep the Windows calling convention (stdcall in the 32-bit build).
static BOOL WINAPI PreShutdownThenCreateProcess(LPCSTR application, LPSTR line, LPSECURITY_ATTRIBUTES process,
                                                LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                                                LPVOID environment, LPCSTR directory, LPSTARTUPINFOA startup,
                                                LPPROCESS_INFORMATION info)
{
    ServiceControlHandler(SERVICE_CONTROL_PRESHUTDOWN, 0, NULL, NULL);
    return ((decltype(&CreateProcessA))RealCreateProcess)(application, line, process, thread, inherit, flags,
                                                            environment, directory, startup, info);
}

static void *RealWaitForMultipleObjects;

// Only the supervisor's own wait for its two events fails.
static DWORD WINAPI FailToWait(DWORD count, const HANDLE *handles, BOOL all, DWORD timeout)
{
    if (count == 2 && handles[0] == StopEvent && handles[1] == VmExitedEvent) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return ((decltype(&WaitForMultipleObjects))RealWaitForMultipleObjects)(count, handles, all, timeout);
}

// Windows shuts down while VirtualBox is still starting the machine: the stop
// waits for it, and a machine that never comes up is not stopped at all. The
// one-off method is used up either way.
TEST_F(LifecycleTest, APreShutdownDuringTheStartIsCarriedOutOnceTheMachineRuns)
{
    struct Case {
        const char *behaviour;
        DWORD specificExitCode;
        std::vector<std::string> end;
    } cases[] = {
        { "normal", 0, { "Stopping (poweroff) VM 'Web Server'", "VM 'Web Server' stopped (poweroff)" } },
        // VirtualBox could not power it up: VBoxHeadless exits 0 then too.
        { "fail", 0x80800003,
          { "Stopping (poweroff) VM 'Web Server'",
            "ERROR: VM 'Web Server' failed to power up (VBoxHeadless ended with 0x00000000)" } },
    };
    for (const Case &c : cases) {
        BeginRun();
        DeleteFileA(ServiceSettings.LogPath);
        PutMachine(MachineStatePoweredOff);
        ASSERT_TRUE(WritePrivateProfileStringA("Pelorin", "ShutdownOnceCommand", "poweroff", ServiceSettings.IniPath));
        ASSERT_EQ(1, StandinSetHeadlessBehaviour(TestVmName, c.behaviour, 1));
        void *&realCreateProcess = RealCreateProcess;
        realCreateProcess = ReplaceImport("kernel32.dll", "CreateProcessA", (void *)PreShutdownThenCreateProcess);
        StartService();
        ASSERT_TRUE(WaitForSupervisor()) << c.behaviour;
        ReplaceImport("kernel32.dll", "CreateProcessA", realCreateProcess);
        CloseHandle(supervisor);
        supervisor = NULL;

        std::vector<DWORD> states = { SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED };
        EXPECT_EQ(states, StatesOf(RecordedStatus())) << c.behaviour;
        EXPECT_EQ(c.specificExitCode, RecordedStatus().back().specificExitCode) << c.behaviour;
        std::vector<std::string> expected = { "Starting VM 'Web Server'", "VM 'Web Server' started" };
        EXPECT_EQ(JoinLines(expected, c.end), LogMessages()) << c.behaviour;
        EXPECT_EQ(MachineStatePoweredOff, WaitForMachineState(MachineStatePoweredOff)) << c.behaviour;
        char left[16];
        GetPrivateProfileStringA("Pelorin", "ShutdownOnceCommand", "", left, sizeof(left), ServiceSettings.IniPath);
        EXPECT_STREQ("", left) << c.behaviour;
    }
}

// The second stop waits behind the save; by then the machine is gone, and
// nothing is left to stop (nor any error to log about it).
TEST_F(LifecycleTest, ASecondStopWhileSavingFindsTheMachineGoneAndStopsNothingMore)
{
    WriteTextFile(ServiceSettings.IniPath, "[Pelorin]\r\nLoglevel=2\r\nShutdownCommand=savestate\r\n");
    ASSERT_EQ(1, StandinSetDelay("SaveState", 1500));
    StartService();
    ASSERT_TRUE(WaitForRecordedState(SERVICE_RUNNING, 10000));
    ASSERT_EQ(MachineStateRunning, WaitForMachineState(MachineStateRunning));
    ServiceControlHandler(SERVICE_CONTROL_STOP, 0, NULL, NULL);
    for (int i = 0; i < 100 && JournalOf("IConsole::SaveState").empty(); i++)
        Sleep(20);
    ServiceControlHandler(SERVICE_CONTROL_SHUTDOWN, 0, NULL, NULL);
    ASSERT_TRUE(WaitForSupervisor());

    std::vector<std::string> expected = {
        "Starting VM 'Web Server'", "VM 'Web Server' started", "Stopping (savestate) VM 'Web Server'",
        "VM 'Web Server' stopped (savestate)",
    };
    EXPECT_EQ(expected, LogMessages());
    EXPECT_EQ(MachineStateSaved, MachineState());
    EXPECT_EQ((DWORD)SERVICE_STOPPED, RecordedStatus().back().state);
}

// Windows' pre-shutdown comes while the stop awaits a guest that ignores its
// button: one press more, the first stop's record and deadline kept, and the
// end told as the fallback made it. Wine never delivers pre-shutdown.
TEST_F(LifecycleTest, APreShutdownDuringTheWaitForTheGuestPressesOnceMoreAndKeepsTheStop)
{
    WriteTextFile(ServiceSettings.IniPath, "[Pelorin]\r\nLoglevel=2\r\nShutdownCommand=acpipowerbutton\r\n"
                                           "ShutdownTimeout=4000\r\nShutdownFallbackCommand=savestate\r\n");
    ASSERT_EQ(1, StandinSetGuest(TestVmName, "ignores-acpi"));
    StartService();
    ASSERT_TRUE(WaitForRecordedState(SERVICE_RUNNING, 30000));
    ServiceControlHandler(SERVICE_CONTROL_STOP, 0, NULL, NULL);
    for (int i = 0; i < 200 && JournalOf("IConsole::PowerButton").empty(); i++)
        Sleep(20);
    // The other method of the pre-shutdown's settings must not replace the stop's.
    WriteTextFile(ServiceSettings.IniPath, "[Pelorin]\r\nLoglevel=2\r\nShutdownCommand=poweroff\r\n");
    ServiceControlHandler(SERVICE_CONTROL_PRESHUTDOWN, 0, NULL, NULL);
    ASSERT_TRUE(WaitForSupervisor());

    std::vector<std::string> expected = {
        "Starting VM 'Web Server'", "VM 'Web Server' started", "Stopping (acpipowerbutton) VM 'Web Server'",
        "VM 'Web Server' was sent a stop signal (acpipowerbutton)",
        "VM 'Web Server' was sent a stop signal (acpipowerbutton)",
        "VM 'Web Server' did not stop within 4000 ms; stopping it (savestate)", "VM 'Web Server' stopped (savestate)",
    };
    EXPECT_EQ(expected, LogMessages());
    EXPECT_EQ(2u, JournalOf("IConsole::PowerButton").size());
    EXPECT_EQ(0u, JournalOf("IConsole::PowerDown").size());
    EXPECT_EQ(MachineStateSaved, MachineState());
    EXPECT_EQ(0u, RecordedStatus().back().specificExitCode);
}

TEST_F(LifecycleTest, AFailingWaitEndsTheWatchInsteadOfSpinning)
{
    void *&realWait = RealWaitForMultipleObjects;
    realWait = ReplaceImport("kernel32.dll", "WaitForMultipleObjects", (void *)FailToWait);
    StartService();
    bool ended = WaitForSupervisor();
    ReplaceImport("kernel32.dll", "WaitForMultipleObjects", realWait);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(Logged("ERROR waiting for VM 'Web Server' (0x00000006)")) << Log();
    EXPECT_EQ((DWORD)SERVICE_STOPPED, RecordedStatus().back().state);
    EXPECT_EQ(1066u, RecordedStatus().back().win32ExitCode);
    EXPECT_EQ(0x80800003u, RecordedStatus().back().specificExitCode);
    EXPECT_EQ(MachineStateRunning, WaitForMachineState(MachineStateRunning));
    ASSERT_EQ(1, StandinReset());
}

} // namespace
