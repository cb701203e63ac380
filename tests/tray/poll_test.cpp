// Polling the listed services through the Service Control Manager.
#include <gtest/gtest.h>

#include <deque>

#include "import_hook.h"
#include "service_list.h"
#include "test_support.h"
#include "tray_shell.h"
#include "tray_test_support.h"

namespace {

class PollTest : public TrayTest {
protected:
    std::string folder;
    std::deque<TestService> services; // references to its elements stay valid
    std::vector<std::string> removeAfterwards;

    void TearDown() override
    {
        for (const TestService &service : services)
            RemoveServiceIfPresent(service.name);
        for (const std::string &name : removeAfterwards)
            RemoveServiceIfPresent(name);
        TrayTest::TearDown();
    }

    void UseFolder(const std::string &name)
    {
        folder = MakeTestFolder("tray poll " + name);
        UseTrayFolder(folder);
    }

    // Lists the given service INI files, one section each, and loads them.
    void ListAndLoad(const std::vector<std::string> &iniFiles)
    {
        std::string ini;
        for (size_t i = 0; i < iniFiles.size(); i++)
            ini += "[entry " + std::to_string(i) + "]\r\nConfigFile=" + iniFiles[i] + "\r\n";
        WriteTextFile(folder + "pelorintray.ini", ini);
        ASSERT_EQ(PollSucceeded, LoadServiceList());
        ASSERT_EQ((int)iniFiles.size(), TrayEntryCount);
    }

    TestService &Install(const std::string &name, DWORD startType = SERVICE_DEMAND_START)
    {
        services.push_back(InstallTestService(folder, name, startType));
        return services.back();
    }
};

TEST_F(PollTest, EachServiceStateMapsToItsTrayState)
{
    UseFolder("states");
    TestService &service = Install("TrayPollStates");
    ListAndLoad({ service.ini });
    EXPECT_EQ(Undetermined, TrayEntries[0].State);

    ASSERT_EQ(PollSucceeded, PollServices());
    EXPECT_EQ(Stopped, TrayEntries[0].State);

    ASSERT_EQ(0u, StartServiceByName(service.name));
    const struct {
        const char *word;
        DWORD serviceState;
        int trayState;
    } steps[] = {
        { "running", SERVICE_RUNNING, Running },
        { "start pending", SERVICE_START_PENDING, StartPending },
        { "stop pending", SERVICE_STOP_PENDING, StopPending },
        { "paused", SERVICE_PAUSED, Undetermined },
        { "running", SERVICE_RUNNING, Running },
        { "stopped", SERVICE_STOPPED, Stopped },
    };
    for (const auto &step : steps) {
        SetTestServiceState(service, step.word);
        ASSERT_EQ(step.serviceState, WaitForServiceState(service.name, step.serviceState)) << step.word;
        ASSERT_EQ(PollSucceeded, PollServices());
        EXPECT_EQ(step.trayState, TrayEntries[0].State) << step.word;
        EXPECT_EQ(step.trayState == Running ? ServiceProcessId(service.name) : 0u, TrayEntries[0].ProcessId)
            << step.word;
    }
}

TEST_F(PollTest, StatusThatCannotBeReadIsUndetermined)
{
    // Wine answers every status query of an opened service, so the decision
    // for a failing query is checked where it is taken.
    EXPECT_EQ(Undetermined, TrayStateFromStatus(FALSE, SERVICE_RUNNING));
    EXPECT_EQ(Undetermined, TrayStateFromStatus(FALSE, SERVICE_STOPPED));
    EXPECT_EQ(Undetermined, TrayStateFromStatus(TRUE, SERVICE_CONTINUE_PENDING));
    EXPECT_EQ(Undetermined, TrayStateFromStatus(TRUE, SERVICE_PAUSE_PENDING));
    EXPECT_EQ(Running, TrayStateFromStatus(TRUE, SERVICE_RUNNING));
}

TEST_F(PollTest, AutostartFlagFollowsTheStartType)
{
    UseFolder("autostart");
    // A copy of the service program installs itself with automatic start.
    std::string exe = CopyBuiltProgram("pelorin.exe", folder, "TrayPollAuto.exe");
    std::string ini = folder + "TrayPollAuto.ini";
    WriteTextFile(ini, ServiceIni("Auto VM", "VboxInstallPath=C:\\VBox\r\nVboxUserHome=C:\\vbox\r\n"));
    RemoveServiceIfPresent("TrayPollAuto");
    removeAfterwards.push_back("TrayPollAuto");
    ASSERT_EQ(0, RunProgram(Quote(exe) + " -i", NULL));
    TestService &demand = Install("TrayPollDemand");
    ListAndLoad({ ini, demand.ini });

    ASSERT_EQ(PollSucceeded, PollServices());
    EXPECT_EQ(Stopped, TrayEntries[0].State);
    EXPECT_EQ(1, TrayEntries[0].Autostart);
    EXPECT_EQ(0, TrayEntries[1].Autostart);

    ChangeStartType("TrayPollAuto", SERVICE_DEMAND_START);
    ChangeStartType("TrayPollDemand", SERVICE_AUTO_START);
    ASSERT_EQ(PollSucceeded, PollServices());
    EXPECT_EQ(0, TrayEntries[0].Autostart);
    EXPECT_EQ(1, TrayEntries[1].Autostart);
}

TEST_F(PollTest, TooltipCountsTheRunningMachines)
{
    UseFolder("tooltip");
    TestService &first = Install("TrayPollTipOne");
    TestService &second = Install("TrayPollTipTwo");
    ListAndLoad({ first.ini, second.ini });
    strcpy(TrayIcon.szTip, "stale");

    ASSERT_EQ(PollSucceeded, PollServices());
    EXPECT_STREQ("No VirtualBox machines running", TrayIcon.szTip);

    ASSERT_EQ(0u, StartServiceByName(first.name));
    ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(first.name, SERVICE_RUNNING));
    ASSERT_EQ(PollSucceeded, PollServices());
    EXPECT_STREQ("1 VirtualBox machine running", TrayIcon.szTip);

    ASSERT_EQ(0u, StartServiceByName(second.name));
    ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(second.name, SERVICE_RUNNING));
    ASSERT_EQ(PollSucceeded, PollServices());
    EXPECT_STREQ("2 VirtualBox machines running", TrayIcon.szTip);

    // A pending machine is not counted as running.
    SetTestServiceState(second, "stop pending");
    ASSERT_EQ((DWORD)SERVICE_STOP_PENDING, WaitForServiceState(second.name, SERVICE_STOP_PENDING));
    ASSERT_EQ(PollSucceeded, PollServices());
    EXPECT_STREQ("1 VirtualBox machine running", TrayIcon.szTip);
}

typedef SC_HANDLE(WINAPI *OpenServiceFunction)(SC_HANDLE, LPCSTR, DWORD);
OpenServiceFunction UndeniedOpenService;

// Another user's service, or one whose rights changed: Wine grants every
// right, so the refusal is played in the import table.
SC_HANDLE WINAPI OpenServiceDenyingOne(SC_HANDLE manager, LPCSTR name, DWORD access)
{
    if (strcmp(name, "TrayPollDenied") != 0)
        return UndeniedOpenService(manager, name, access);
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

TEST_F(PollTest, ADeniedServiceIsMarkedAloneAndTheOthersAreSeen)
{
    UseFolder("denied");
    TestService &denied = Install("TrayPollDenied");
    TestService &seen = Install("TrayPollSeen");
    ListAndLoad({ denied.ini, seen.ini });
    UndeniedOpenService = (OpenServiceFunction)ReplaceImport("advapi32.dll", "OpenServiceA", (void *)OpenServiceDenyingOne);
    EXPECT_EQ(PollSucceeded, PollServices());
    ReplaceImport("advapi32.dll", "OpenServiceA", (void *)UndeniedOpenService);
    EXPECT_EQ(ServiceNotFound, TrayEntries[0].State);
    EXPECT_EQ(1, TrayEntries[0].AccessDenied);
    EXPECT_EQ(Stopped, TrayEntries[1].State);
    EXPECT_EQ(0, TrayEntries[1].AccessDenied);

    // Granted again, it is seen again.
    EXPECT_EQ(PollSucceeded, PollServices());
    EXPECT_EQ(0, TrayEntries[0].AccessDenied);
}

TEST_F(PollTest, RemovedServiceIsNotFoundUntilItIsInstalledAgain)
{
    UseFolder("removed");
    TestService &service = Install("TrayPollRemoved");
    ListAndLoad({ service.ini });
    ASSERT_EQ(PollSucceeded, PollServices());
    EXPECT_EQ(Stopped, TrayEntries[0].State);

    RemoveServiceIfPresent(service.name);
    ASSERT_EQ(PollSucceeded, PollServices());
    EXPECT_EQ(ServiceNotFound, TrayEntries[0].State);
    ASSERT_EQ(PollSucceeded, PollServices());
    EXPECT_EQ(ServiceNotFound, TrayEntries[0].State);

    services.back() = InstallTestService(folder, "TrayPollRemoved");
    ASSERT_EQ(PollSucceeded, PollServices());
    EXPECT_EQ(Stopped, TrayEntries[0].State);
}

TEST_F(PollTest, ServiceWhoseFileNameHasBlanksIsFound)
{
    UseFolder("blanks");
    // The service program registers "Tray_Build" for "Tray Build.exe".
    std::string exe = CopyBuiltProgram("pelorin.exe", folder, "Tray Build.exe");
    std::string ini = folder + "Tray Build.ini";
    WriteTextFile(ini, ServiceIni("Build VM", "VboxInstallPath=C:\\VBox\r\nVboxUserHome=C:\\vbox\r\n"));
    RemoveServiceIfPresent("Tray_Build");
    removeAfterwards.push_back("Tray_Build");
    ASSERT_EQ(0, RunProgram(Quote(exe) + " -i", NULL));
    ListAndLoad({ ini });
    EXPECT_STREQ("Tray_Build", TrayEntries[0].ServiceName);
    ASSERT_EQ(PollSucceeded, PollServices());
    EXPECT_EQ(Stopped, TrayEntries[0].State);
    EXPECT_EQ(1, TrayEntries[0].Autostart);
}

TEST_F(PollTest, EntriesWaitingForAReloadAreNotPolled)
{
    UseFolder("not polled");
    TestService &service = Install("TrayPollKept");
    WriteTextFile(folder + "novm.ini", "[Pelorin]\r\n");
    ListAndLoad({ folder + "gone.ini", folder + "novm.ini", service.ini });
    ASSERT_EQ(PollSucceeded, PollServices());
    EXPECT_EQ(ConfigNotFound, TrayEntries[0].State);
    EXPECT_EQ(NotConfigured, TrayEntries[1].State);
    EXPECT_EQ(Stopped, TrayEntries[2].State);
}

TEST_F(PollTest, NoTrayIniStillPollsAndResetsTheTooltip)
{
    UseFolder("no ini");
    EXPECT_EQ(PollFailed, LoadServiceList());
    strcpy(TrayIcon.szTip, "stale");
    EXPECT_EQ(PollSucceeded, PollServices());
    EXPECT_STREQ("No VirtualBox machines running", TrayIcon.szTip);
}

} // namespace
