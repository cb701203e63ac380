// What the user guide tells an administrator, shown: the shipped example INI
// files read as it says, how values are written, several copies side by side,
// an upgrade in place, a "Stop with" that cannot write the INI file, the
// limits of two numbers, a removal still held open and the log at level 3.
#include "service_fixture.h"

#include "command_ids.h"
#include "control_pipe.h"
#include "import_hook.h"
#include "install.h"
#include "pipe_harness.h"
#include "process_probe.h"
#include "service_list.h"
#include "settings.h"
#include "test_support.h"
#include "tray_commands.h"
#include "tray_test_support.h"
#include "vbox_api.h"

namespace {

const std::vector<std::string> RunLines = { "Starting VM 'Web Server'", "VM 'Web Server' started",
                                            "Stopping (poweroff) VM 'Web Server'", "VM 'Web Server' stopped (poweroff)" };

// The example files as the packages hold them (the build puts them beside the tests).
std::string ShippedText(const std::string &name)
{
    return ReadTextFile(BuiltProgramPath("examples\\" + name));
}

TEST(GuideExamplesTest, TheShippedIniFilesReadAsTheGuideSays)
{
    std::string folder = MakeTestFolder("guide examples");
    std::string service = ShippedText("pelorin.ini");
    ASSERT_FALSE(service.empty());
    WriteTextFile(folder + "Web Server.ini", service);
    ServiceSettingsRecord initial = {};
    initial.Loglevel = 1;
    ServiceSettings = initial;
    ASSERT_EQ(1, LoadSettingsForProgram((folder + "Web Server.exe").c_str(), 1));
    const ServiceSettingsRecord &loaded = ServiceSettings;
    EXPECT_STREQ("Web_Server", loaded.ServiceKeyName);
    EXPECT_EQ(folder + "Web Server.log", loaded.LogPath);
    EXPECT_STREQ("C:\\Program Files\\Oracle\\VirtualBox", loaded.VboxInstallPath);
    EXPECT_STREQ("C:\\Users\\vbox\\.VirtualBox", loaded.VboxUserHome);
    EXPECT_STREQ("Web Server", loaded.VmName);
    EXPECT_STREQ("Web Server VM", loaded.DisplayName);
    EXPECT_EQ((DWORD)NORMAL_PRIORITY_CLASS, loaded.PriorityClass);
    EXPECT_STREQ("savestate", loaded.ShutdownCommand);
    EXPECT_EQ(StopMethodSaveState, loaded.StopMethod);
    EXPECT_EQ(300000u, loaded.MaxWaitTimeout);
    EXPECT_EQ(120000u, loaded.ShutdownTimeout);
    EXPECT_EQ(StopMethodSaveState, loaded.FallbackMethod);
    EXPECT_EQ(1, loaded.RestartOnFailure);
    EXPECT_EQ((DWORD)INTERACTIVE_SERVICE_ACCESS, ReadInteractiveAccess());
    EXPECT_STREQ("", loaded.ServiceAccount);
    EXPECT_EQ(2, loaded.Loglevel);

    WriteTextFile(folder + "pelorintray.ini", ShippedText("pelorintray.ini"));
    UseTrayFolder(folder);
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(2, TrayEntryCount);
    EXPECT_STREQ("Web Server", TrayEntries[0].SectionName);
    EXPECT_STREQ("C:\\Program Files\\Pelorin\\Web Server.ini", TrayEntries[0].ConfigPath);
    EXPECT_STREQ("C:\\Program Files\\Pelorin\\Web Server.log", TrayEntries[0].LogPath);
    EXPECT_STREQ("Build Machine", TrayEntries[1].SectionName);
    EXPECT_STREQ("C:\\Program Files\\Pelorin\\Build Machine.ini", TrayEntries[1].ConfigPath);
    FreeServiceList();
}

TEST(GuideExamplesTest, KeysInAnyCaseValuesWithBlanksOrQuotesAndFoldersOf259Characters)
{
    std::string folder = MakeTestFolder("guide values");
    std::string home259 = "C:\\" + std::string(256, 'h');
    struct Case {
        std::string line;
        std::string home;
    } cases[] = {
        { "vmname =  \"Web Server\"  ", "C:\\h" },
        { "VMNAME=Web Server", home259 },
        { "VmName=Web Server", home259 + "xyz" },
    };
    for (const Case &c : cases) {
        WriteTextFile(folder + "w.ini", "[pelorin]\r\nVboxInstallPath=C:\\v\r\nvboxuserhome=" + c.home + "\r\n" + c.line + "\r\n");
        ServiceSettingsRecord initial = {};
        initial.Loglevel = 1;
        ServiceSettings = initial;
        ASSERT_EQ(1, LoadSettingsForProgram((folder + "w.exe").c_str(), 1)) << c.line;
        EXPECT_STREQ("Web Server", ServiceSettings.VmName) << c.line;
        EXPECT_EQ(c.home.substr(0, 259), ServiceSettings.VboxUserHome) << c.line;
    }
}

// The settings table's limits: Loglevel keeps its last byte as a signed
// number, so 128 switches even errors off; MaxWaitTimeout wraps.
TEST(GuideExamplesTest, LoglevelAndMaxWaitTimeoutOutsideTheirRangesDoAsTheTableSays)
{
    std::string folder = MakeTestFolder("guide numbers");
    const struct {
        const char *loglevel;
        int level;
        const char *maxWait;
        DWORD hint;
    } rows[] = {
        { "127", 127, "4294967295", 4294967295u }, { "128", -128, "-1", 4294967295u },
        { "-1", -1, "4294967296", 0 },            { "none", 0, "none", 0 },
        { "257", 1, "300000", 300000 },          { "-255", 1, "300000", 300000 },
    };
    for (const auto &row : rows) {
        std::string numbers = std::string("Loglevel=") + row.loglevel + "\r\nMaxWaitTimeout=" + row.maxWait + "\r\n";
        WriteTextFile(folder + "w.ini", "[Pelorin]\r\nVboxInstallPath=C:\\v\r\nVboxUserHome=C:\\h\r\nVmName=vm\r\n" + numbers);
        ServiceSettingsRecord initial = {};
        ServiceSettings = initial;
        ASSERT_EQ(1, LoadSettingsForProgram((folder + "w.exe").c_str(), 1)) << numbers;
        EXPECT_EQ(row.level, ServiceSettings.Loglevel) << numbers;
        EXPECT_EQ(row.hint, ServiceSettings.MaxWaitTimeout) << numbers;

        // An error with that level: logged from 1 to 127 only.
        DeleteFileA((folder + "w.log").c_str());
        WriteTextFile(folder + "w.ini", std::string("[Pelorin]\r\n") + numbers);
        EXPECT_EQ(0, LoadSettingsForProgram((folder + "w.exe").c_str(), 1)) << numbers;
        EXPECT_EQ(row.level >= 1, FileExists(folder + "w.log")) << numbers;
    }
}

// A removed service that something still holds open is only marked for
// deletion: -i of the same name fails until the last handle has gone.
TEST(GuideExamplesTest, AServiceMarkedForDeletionRefusesInstallUntilNothingHoldsIt)
{
    std::string folder = MakeTestFolder("guide marked");
    WriteTextFile(folder + "Guide Marked.ini", "[Pelorin]\r\nVboxInstallPath=C:\\v\r\nVboxUserHome=C:\\h\r\n"
                                               "VmName=vm\r\nServiceName=Guide Marked VM\r\nLoglevel=1\r\n");
    ServiceSettingsRecord initial = {};
    ServiceSettings = initial;
    ASSERT_EQ(1, LoadSettingsForProgram((folder + "Guide Marked.exe").c_str(), 1));
    RemoveServiceIfPresent("Guide_Marked");
    ASSERT_EQ(InstallDone, InstallService());
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE console = OpenServiceA(manager, "Guide_Marked", SERVICE_QUERY_STATUS);
    ASSERT_NE((SC_HANDLE)NULL, console);
    EXPECT_EQ(UninstallDone, UninstallService());
    int whileHeld = InstallService();
    CloseServiceHandle(console);
    int afterwards = InstallFailed;
    for (int i = 0; i < 50 && (afterwards = InstallService()) != InstallDone; i++)
        Sleep(100);
    RemoveServiceIfPresent("Guide_Marked");
    CloseServiceHandle(manager);
    EXPECT_EQ(InstallFailed, whileHeld);
    EXPECT_EQ(InstallDone, afterwards);
    EXPECT_NE(std::string::npos, ReadTextFile(folder + "Guide Marked.log")
                                     .find("ERROR installing Guide Marked VM (Guide_Marked) service: service already "
                                           "marked for deletion"));
}

class GuideTest : public ServiceFixture {
protected:
    void PutMachineNamed(const char *name, const char *uuid)
    {
        StandinMachine machine = {};
        strcpy(machine.name, name);
        strcpy(machine.uuid, uuid);
        machine.state = MachineStatePoweredOff;
        machine.vrdeEnabled = 1;
        machine.vrdePort = strcmp(name, TestVmName) == 0 ? 3389 : 3390;
        machine.width = 1024;
        machine.height = 768;
        ASSERT_EQ(1, StandinPutMachine(&machine));
    }
};

// Each copy is a service of its own, with its own log and control pipe, and
// at the default Loglevel a healthy service writes nothing.
TEST_F(GuideTest, TwoCopiesServeTwoMachinesSideBySideAndLevelOneLogsNothing)
{
    PutMachineNamed("Build Machine", "0a6c2d1e-3b4f-4c5d-8e9f-a0b1c2d3e4f5");
    std::string second = InstallPelorinCopy(folder, "Build Machine",
                                             "[Pelorin]\r\nVboxInstallPath=" + installPath +
                                                 "\r\nVboxUserHome=C:\\Users\\vbox\\.VirtualBox\r\nVmName=Build Machine\r\n");
    ASSERT_EQ("Build_Machine", second);
    DeleteFileA((folder + "Build Machine.log").c_str());

    ASSERT_TRUE(StartRunning());
    EXPECT_EQ(0u, StartServiceByName(second));
    ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(second, SERVICE_RUNNING, 30000));
    StandinMachine build = {};
    for (int i = 0; i < 200 && (!StandinGetMachine("Build Machine", &build) || build.state != MachineStateRunning); i++)
        Sleep(50);
    EXPECT_EQ(MachineStateRunning, build.state);
    EXPECT_EQ(3389u, AskControlPipe(TestVmName, VrdePort));
    EXPECT_EQ(3390u, AskControlPipe("Build Machine", VrdePort));

    DWORD secondProcess = ServiceProcessId(second);
    EXPECT_EQ(0u, StopServiceByName(second));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, WaitForServiceState(second, SERVICE_STOPPED, 30000));
    WaitForProcessEnd(secondProcess, 30000);
    EXPECT_EQ(MachineStateRunning, MachineState());
    EXPECT_EQ((DWORD)SERVICE_RUNNING, ServiceState());
    EXPECT_EQ((DWORD)SERVICE_STOPPED, StopAndWait().dwCurrentState);

    EXPECT_EQ(RunLines, LogMessages());
    EXPECT_FALSE(FileExists(folder + "Build Machine.log"));
    RemovePelorinCopy(second);
}

// Stop, put the new program in place of the old, start: the service starts
// the new file, with the INI file and the log it had.
TEST_F(GuideTest, AnUpgradeInPlaceNeedsNoReinstallAndKeepsSettingsAndLog)
{
    std::string exe = folder + base + ".exe";
    std::string text = ReadTextFile(ini);
    ASSERT_TRUE(StartRunning());
    ASSERT_EQ((DWORD)SERVICE_STOPPED, StopAndWait().dwCurrentState);

    ASSERT_TRUE(DeleteFileA(exe.c_str()));
    ASSERT_TRUE(CopyFileA(BuiltProgramPath("pelorin.exe").c_str(), exe.c_str(), TRUE));
    ASSERT_TRUE(StartRunning());
    EXPECT_EQ(1u, HeadlessOfTheService());
    ASSERT_EQ((DWORD)SERVICE_STOPPED, StopAndWait().dwCurrentState);

    EXPECT_EQ(JoinLines(RunLines, RunLines), LogMessages());
    EXPECT_EQ(text, ReadTextFile(ini));
}

// Windows refuses a user the write, as it does in a folder that only
// administrators may write (these tests run with every right).
BOOL WINAPI RefuseProfileWrite(LPCSTR, LPCSTR, LPCSTR, LPCSTR)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// The tray helper writes the one-off method with the user's rights; when it
// cannot, the stop still goes out and the configured method applies.
TEST_F(GuideTest, StopWithThatCannotWriteTheIniStopsWithTheConfiguredMethod)
{
    std::string text = ReadTextFile(ini);
    std::string trayFolder = MakeTestFolder("guide tray");
    UseTrayFolder(trayFolder);
    WriteTextFile(trayFolder + "pelorintray.ini", "[Web Server]\r\nConfigFile=" + ini + "\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_TRUE(StartRunning());

    void *write = ReplaceImport("kernel32.dll", "WritePrivateProfileStringA", (void *)RefuseProfileWrite);
    ASSERT_NE((void *)NULL, write);
    HandleTrayCommand(ServiceCommandId(0, CommandSaveState));
    ReplaceImport("kernel32.dll", "WritePrivateProfileStringA", write);
    EXPECT_EQ((DWORD)SERVICE_STOPPED, WaitStopped().dwCurrentState);
    FreeServiceList();

    EXPECT_EQ(RunLines, LogMessages());
    EXPECT_EQ(MachineStatePoweredOff, MachineState());
    EXPECT_EQ(text, ReadTextFile(ini));
}

// At Loglevel 3 the pipe's VirtualBox connection is opened as the service
// starts (so that a tray's first question is answered like any other) and
// pipe requests write no lines; every line starts with the local date as
// month/day/year.
TEST_F(GuideTest, AtLoglevelThreePipeRequestsWriteLinesOnlyForANewConnection)
{
    std::string text = ReadTextFile(ini);
    WriteTextFile(ini, text.replace(text.find("Loglevel=2"), 10, "Loglevel=3"));
    ASSERT_TRUE(StartRunning());
    EXPECT_EQ(3389u, AskControlPipe(TestVmName, VrdePort));
    size_t started = LogMessages().size();
    for (int i = 0; i < 10; i++)
        EXPECT_NE(~0u, AskControlPipe(TestVmName, i % 2 ? VrdePort : VrdeEnabled));
    EXPECT_EQ(started, LogMessages().size());
    ASSERT_EQ((DWORD)SERVICE_STOPPED, StopAndWait().dwCurrentState);

    std::string log = ReadTextFile(ini.substr(0, ini.size() - 4) + ".log");
    printf("Loglevel 3: %zu lines to start with the pipe's connection, 0 for 11 requests, %zu lines and %zu bytes"
           " in all with the stop\n", started, LogMessages().size(), log.size());
    // As the guide counts them: 11 to start (4 of them the pipe's connection), 3 to stop and 1 to close the connection.
    EXPECT_EQ(11u, started);
    EXPECT_EQ(15u, LogMessages().size());
    SYSTEMTIME now;
    GetLocalTime(&now);
    char today[16];
    snprintf(today, sizeof(today), "[%02d/%02d/%02d ", now.wMonth, now.wDay, now.wYear % 100);
    size_t lines = 0;
    for (size_t at = 0; at < log.size(); at = log.find("\r\n", at) + 2, lines++)
        EXPECT_EQ(today, log.substr(at, 10)) << log.substr(at, 40);
    EXPECT_EQ(LogMessages().size(), lines);
}

}  // namespace
