// The service end to end: a copy of pelorin.exe installed in Wine's Service
// Control Manager, started and stopped there, running its machine in the stand-in.
#include "service_fixture.h"

#include <algorithm>

#include "process_probe.h"
#include "service_harness.h"
#include "settings.h"
#include "test_support.h"
#include "vbox_api.h"

namespace {

class ServiceTest : public ServiceFixture {
protected:
    // The INI file's text, with another VirtualBox folder when one is given.
    std::string Ini(const std::string &extra, const std::string &install = "")
    {
        std::string text = ServiceFixture::Ini(extra);
        if (!install.empty())
            text.replace(text.find(installPath), installPath.size(), install);
        return text;
    }

    // Starts the service, runs the steps once it runs (at once when it is not
    // to run), and waits until it has stopped; the service's status reports.
    std::vector<StatusReport> RunService(const std::function<void()> &whileRunning, bool runs = true)
    {
        std::string logBefore = Log();
        for (int attempt = 1;; attempt++) {
            // Wine refuses a new start (ERROR_SERVICE_ALREADY_RUNNING) while the
            // last run's process still exits after its final report.
            for (int i = 0; i < 300 && !ProcessesNamed(base + ".exe").empty(); i++)
                Sleep(100);
            StartSamplingStatus(service);
            DWORD started = StartServiceByName(service);
            bool running = runs && WaitForSampledState(SERVICE_RUNNING, 30000);
            if (running || !runs)
                whileRunning();
            EXPECT_EQ((DWORD)SERVICE_STOPPED, WaitForServiceState(service, SERVICE_STOPPED, 30000));
            // The service's own reports only: before its first one, Wine's Service
            // Control Manager shows the last stop, then a start pending of its own.
            std::vector<StatusReport> reports = StopSamplingStatus();
            while (!reports.empty() && (reports.front().state == SERVICE_STOPPED || reports.front().controlsAccepted == 0))
                reports.erase(reports.begin());
            if (!running && attempt == 1 && WineLostAProcess(started, logBefore))
                continue;
            EXPECT_TRUE(started == 0 || started == ERROR_SERVICE_REQUEST_TIMEOUT) << started;
            if (runs && !running)
                FailStart(started, MachineState());
            return reports;
        }
    }

    std::vector<StatusReport> StartAndStop(const char *oneOff = NULL)
    {
        return RunService([&] {
            ASSERT_EQ(MachineStateRunning, WaitForMachineState(MachineStateRunning));
            if (oneOff != NULL)
                WritePrivateProfileStringA("Pelorin", "ShutdownOnceCommand", oneOff, ini.c_str());
            EXPECT_EQ(0u, StopServiceByName(service));
        });
    }
};

const std::vector<std::string> StartLines = { "Starting VM 'Web Server'", "VM 'Web Server' started" };

std::vector<std::string> Join(std::vector<std::string> first, const std::vector<std::string> &second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

TEST_F(ServiceTest, StartsPendingThenRunningAndStopsWithEachMethod)
{
    struct Case {
        const char *configured;  // NULL: the INI file as the row before left it
        const char *oneOff;
        const char *call;
        std::vector<std::string> stopLines;
    } cases[] = {
        { "poweroff", NULL, "IConsole::PowerDown",
          { "Stopping (poweroff) VM 'Web Server'", "VM 'Web Server' stopped (poweroff)" } },
        { "SaveState", NULL, "IConsole::SaveState",
          { "Stopping (SaveState) VM 'Web Server'", "VM 'Web Server' stopped (SaveState)" } },
        { "acpipowerbutton", NULL, "IConsole::PowerButton",
          { "Stopping (acpipowerbutton) VM 'Web Server'", "VM 'Web Server' was sent a stop signal (acpipowerbutton)",
            "VM 'Web Server' stopped (acpipowerbutton)" } },
        { "acpisleepbutton", NULL, "IConsole::SleepButton",
          { "Stopping (acpisleepbutton) VM 'Web Server'", "VM 'Web Server' was sent a stop signal (acpisleepbutton)",
            "VM 'Web Server' stopped (acpisleepbutton)" } },
        { "poweroff", "savestate", "IConsole::SaveState",
          { "Stopping (savestate) VM 'Web Server'", "VM 'Web Server' stopped (savestate)" } },
        { NULL, NULL, "IConsole::PowerDown", { "Stopping (poweroff) VM 'Web Server'", "VM 'Web Server' stopped (poweroff)" } },
    };
    for (const Case &c : cases) {
        std::string row = std::string(c.call) + (c.oneOff ? " once" : "");
        if (c.configured != NULL)
            WriteTextFile(ini, Ini(std::string("ShutdownCommand=") + c.configured + "\r\n"));
        DeleteFileA(ServiceSettings.LogPath);
        ASSERT_EQ(1, StandinReset());
        PutMachine(MachineStatePoweredOff);

        std::vector<StatusReport> reports = StartAndStop(c.oneOff);
        std::vector<DWORD> states = { SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED };
        EXPECT_EQ(states, StatesOf(reports)) << row;
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(1u, reports.front().checkPoint) << row;
        for (const StatusReport &report : reports) {
            if (report.state == SERVICE_RUNNING || report.state == SERVICE_STOPPED) {
                EXPECT_EQ(0u, report.checkPoint) << row;
            }
            EXPECT_EQ(0x105u, report.controlsAccepted & 0x105) << row;
        }
        EXPECT_EQ(0u, reports.back().win32ExitCode) << row;
        EXPECT_EQ(1u, JournalOf(c.call).size()) << row;
        EXPECT_EQ(Join(StartLines, c.stopLines), LogMessages()) << row;
        EXPECT_EQ(std::string::npos, ReadTextFile(ini).find("ShutdownOnceCommand")) << row;
    }
}

TEST_F(ServiceTest, FailedStartsStopWithAServiceSpecificExitCodeWithoutRunning)
{
    struct Case {
        const char *row;
        std::string iniText;
        const char *fault;
        bool registered;
        DWORD specificExitCode;
        std::vector<std::string> lines;
        const char *generation = NULL;  // NULL: 4.0
    } cases[] = {
        { "not registered", Ini(""), NULL, false, 0x80800001, { "ERROR: Could not find registered VM 'Web Server'" } },
        { "no VBoxHeadless", Ini("", folder + "empty"), NULL, true, 0x80800001,
          { "ERROR: Can't find VBoxHeadless executable. Check your VboxInstallPath option in " + ini } },
        { "stand-in fault", Ini(""), "IMachine::get_State", true, 0x80800001, { "ERROR reading VM state (0x80004005)" } },
        // Said once, by ServiceMain: the start-up's load before it is quiet.
        { "incomplete", "[Pelorin]\r\nVboxInstallPath=C:\\VBox\r\nVboxUserHome=C:\\vbox\r\n", NULL, true, 0x80800002,
          { "ERROR: No VmName configured" } },
        { "unknown VirtualBox", Ini(""), NULL, true, 0x80800001,
          { "ERROR: VirtualBox speaks none of the supported API generations 7.2, 7.1, 7.0, 6.1, 5.2, 4.0 (rc = 0x80004002)" },
          "none" },
    };
    CreateDirectoryA((folder + "empty").c_str(), NULL);
    for (const Case &c : cases) {
        WriteTextFile(ini, c.iniText);
        DeleteFileA(ServiceSettings.LogPath);
        ASSERT_EQ(1, StandinReset());
        if (c.registered)
            PutMachine(MachineStatePoweredOff);
        if (c.fault != NULL) {
            ASSERT_EQ(1, StandinSetFault(c.fault, (long)0x80004005));
        }
        if (c.generation != NULL) {
            ASSERT_EQ(1, StandinSetGeneration(c.generation));
        }

        std::vector<StatusReport> reports = RunService([] {}, false);
        for (DWORD state : StatesOf(reports))
            EXPECT_NE((DWORD)SERVICE_RUNNING, state) << c.row;
        SERVICE_STATUS status = QueryServiceStatusOf(service);
        EXPECT_EQ(1066u, status.dwWin32ExitCode) << c.row;
        EXPECT_EQ(c.specificExitCode, status.dwServiceSpecificExitCode) << c.row;
        EXPECT_EQ(c.lines, LogMessages()) << c.row;
        EXPECT_EQ(0u, JournalOf("VBoxHeadless::Start").size()) << c.row;
    }
}

// The service ends with its machine, and tells Windows how the machine
// ended, by the machine's state and not by VBoxHeadless's exit code alone: 0 /
// 0 for a guest that shut itself down, 1066 / 0x80800003 for a crash, an
// aborted machine and one that VirtualBox never powered up (VBoxHeadless
// exits 0 then too), which is never reported running.
TEST_F(ServiceTest, AMachineThatEndsEndsTheServiceWithTheExitCodeOfItsEnd)
{
    struct Case {
        const char *behaviour;
        unsigned long exitCode;
        const char *endsBy;  // the guest's own end, once the service runs
        DWORD specificExitCode;
        std::vector<std::string> endLines;
    } cases[] = {
        { "normal", 0, "poweroff", 0, { "VM 'Web Server' stopped by itself" } },
        { "crash", 0, NULL, 0x80800003, { "VM 'Web Server' was terminated abnormally (aborted)" } },
        { "crash", 3, NULL, 0x80800003, { "VM 'Web Server' was terminated abnormally (0x00000003)" } },
        { "fail", 1, NULL, 0x80800003,
          { "ERROR: VM 'Web Server' failed to power up (VBoxHeadless ended with 0x00000000)" } },
    };
    for (const Case &c : cases) {
        DeleteFileA(ServiceSettings.LogPath);
        ASSERT_EQ(1, StandinReset());
        PutMachine(MachineStatePoweredOff);
        ASSERT_EQ(1, StandinSetHeadlessBehaviour(TestVmName, c.behaviour, c.exitCode));
        std::vector<DWORD> states = StatesOf(RunService([&] {
            ASSERT_TRUE(c.endsBy == NULL || StandinHeadlessEnds(TestVmName, c.endsBy) == 1);
        }, c.endsBy != NULL));
        SERVICE_STATUS status = QueryServiceStatusOf(service);
        std::string row = std::string(c.behaviour) + " " + std::to_string(c.exitCode);
        EXPECT_EQ(c.specificExitCode != 0 ? 1066u : 0u, status.dwWin32ExitCode) << row;
        EXPECT_EQ(c.specificExitCode, status.dwServiceSpecificExitCode) << row;
        EXPECT_EQ(Join(StartLines, c.endLines), LogMessages()) << row;
        EXPECT_TRUE(std::string(c.behaviour) != "fail" || std::count(states.begin(), states.end(), (DWORD)SERVICE_RUNNING) == 0)
            << row;
    }
}

// VirtualBox already runs the machine: the service watches the process that holds its session.
TEST_F(ServiceTest, ARunningMachineIsAdoptedAndItsEndEndsTheService)
{
    PROCESS_INFORMATION holder;
    ASSERT_TRUE(StartProgram(Quote(BuiltProgramPath("keepalive.exe")), &holder));
    PutMachine(MachineStateRunning, holder.dwProcessId);
    std::vector<StatusReport> reports = RunService([&] {
        TerminateProcess(holder.hProcess, 0);
    });
    CloseHandle(holder.hThread);
    CloseHandle(holder.hProcess);
    std::vector<DWORD> states = { SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED };
    EXPECT_EQ(states, StatesOf(reports));
    EXPECT_EQ(0u, reports.back().win32ExitCode);
    std::vector<std::string> expected = {
        "VM 'Web Server' is already running (pid=" + std::to_string(holder.dwProcessId) + "), using existing session",
        "VM 'Web Server' stopped by itself",
    };
    EXPECT_EQ(expected, LogMessages());
    EXPECT_EQ(0u, JournalOf("VBoxHeadless::Start").size());
}

// MaxWaitTimeout is the wait hint, not a limit: a save that outlasts it keeps reporting progress.
TEST_F(ServiceTest, ASlowSaveReportsStopPendingEverySecondWithTheWaitHint)
{
    WriteTextFile(ini, Ini("ShutdownCommand=savestate\r\nMaxWaitTimeout=1500\r\n"));
    ASSERT_EQ(1, StandinSetDelay("SaveState", 4000));
    std::vector<StatusReport> reports = StartAndStop();

    std::vector<DWORD> checkPoints;
    for (const StatusReport &report : reports) {
        if (report.state != SERVICE_STOP_PENDING)
            continue;
        EXPECT_EQ(1500u, report.waitHint);
        if (checkPoints.empty() || checkPoints.back() != report.checkPoint)
            checkPoints.push_back(report.checkPoint);
    }
    EXPECT_GE(checkPoints.size(), 4u);
    EXPECT_LE(checkPoints.size(), 10u);
    EXPECT_TRUE(std::is_sorted(checkPoints.begin(), checkPoints.end()));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, reports.back().state);
    EXPECT_EQ(0u, reports.back().checkPoint + reports.back().waitHint);
    EXPECT_EQ(MachineStateSaved, MachineState());
}

} // namespace
