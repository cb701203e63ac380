// The menu commands, carried out through the dialog procedure as a chosen
// menu item would send them.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>

#include "command_ids.h"
#include "control_pipe.h"
#include "import_hook.h"
#include "scripted_pipe.h"
#include "service_list.h"
#include "shell_execute_recorder.h"
#include "test_support.h"
#include "tray_menu.h"
#include "tray_shell.h"
#include "tray_test_support.h"

namespace {

void Choose(unsigned int id)
{
    TrayDialogProc(NULL, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

class CommandTest : public TrayTest {
protected:
    std::string folder;
    std::deque<TestService> services; // references to its elements stay valid

    void TearDown() override
    {
        for (const TestService &service : services)
            RemoveServiceIfPresent(service.name);
        TrayTest::TearDown();
    }

    // Installs the test service, lists it alone and polls it.
    TestService &ListService(const std::string &name, DWORD startType = SERVICE_DEMAND_START,
                             const char *account = NULL)
    {
        folder = MakeTestFolder("tray command " + name);
        UseTrayFolder(folder);
        services.push_back(InstallTestService(folder, name, startType, account));
        WriteTextFile(folder + "pelorintray.ini", "[" + name + "]\r\nConfigFile=" + services.back().ini + "\r\n");
        EXPECT_EQ(PollSucceeded, LoadServiceList());
        EXPECT_EQ(PollSucceeded, PollServices());
        BuildTrayMenu(PollSucceeded);
        return services.back();
    }

    void Click()
    {
        DestroyTrayMenu();
        BuildTrayMenu(PollServices());
    }
};

TEST_F(CommandTest, StartAndStopReachTheService)
{
    TestService &service = ListService("TrayCmdStartStop");
    ASSERT_EQ(Stopped, TrayEntries[0].State);
    std::string iniBefore = ReadTextFile(service.ini);

    Choose(ServiceCommandId(0, CommandStart));
    EXPECT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(service.name, SERVICE_RUNNING));
    Click();
    EXPECT_EQ(Running, TrayEntries[0].State);

    Choose(ServiceCommandId(0, CommandStop));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, WaitForServiceState(service.name, SERVICE_STOPPED));
    // A plain stop leaves the configured method alone.
    EXPECT_EQ("stop \r\n", ReadTextFile(service.stops));
    EXPECT_EQ(iniBefore, ReadTextFile(service.ini));
}

TEST_F(CommandTest, EachStopWithWritesItsMethodForTheServiceThenStopsIt)
{
    TestService &service = ListService("TrayCmdStopWith");
    const struct {
        int command;
        const char *word;
    } methods[] = {
        { CommandSaveState, "savestate" },
        { CommandAcpiSleep, "acpisleepbutton" },
        { CommandAcpiPower, "acpipowerbutton" },
        { CommandPowerOff, "poweroff" },
    };
    std::string expectedStops;
    for (const auto &method : methods) {
        ASSERT_EQ(0u, StartServiceByName(service.name));
        ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(service.name, SERVICE_RUNNING));
        Choose(ServiceCommandId(0, method.command));
        EXPECT_EQ((DWORD)SERVICE_STOPPED, WaitForServiceState(service.name, SERVICE_STOPPED)) << method.word;

        // The service saw the method when it was told to stop.
        expectedStops += std::string("stop ") + method.word + "\r\n";
        EXPECT_EQ(expectedStops, ReadTextFile(service.stops));
        char value[64];
        GetPrivateProfileStringA("Pelorin", "ShutdownOnceCommand", "", value, sizeof(value), service.ini.c_str());
        EXPECT_STREQ(method.word, value);
        std::string text = ReadTextFile(service.ini);
        std::string line = std::string("ShutdownOnceCommand=") + method.word + "\r\n";
        EXPECT_NE(std::string::npos, text.find(line)) << text;
        EXPECT_EQ(text.find("ShutdownOnceCommand"), text.rfind("ShutdownOnceCommand")) << text;
        // Written into the service's own section, nowhere else.
        EXPECT_LT(text.find("[Pelorin]"), text.find(line));
        EXPECT_GT(text.find("[TestService]"), text.find(line));
    }
}

typedef BOOL(WINAPI *QueryStatusFunction)(SC_HANDLE, LPSERVICE_STATUS);
QueryStatusFunction RealQueryStatus;

BOOL WINAPI QueryStatusSeenRunning(SC_HANDLE service, LPSERVICE_STATUS status)
{
    BOOL queried = RealQueryStatus(service, status);
    status->dwCurrentState = SERVICE_RUNNING;
    return queried;
}

// A one-off method written for a stop that does not happen would apply to
// the next stop, whoever causes it. The service's state changed since the
// menu was built: it is seen running, and its stop is refused.
TEST_F(CommandTest, AOneOffMethodIsLeftOnlyForAStopThatWasAccepted)
{
    TestService &service = ListService("TrayCmdStopRefused");
    ASSERT_EQ(0u, StartServiceByName(service.name));
    SetTestServiceState(service, "stop pending");
    ASSERT_EQ((DWORD)SERVICE_STOP_PENDING, WaitForServiceState(service.name, SERVICE_STOP_PENDING));
    RealQueryStatus =
        (QueryStatusFunction)ReplaceImport("advapi32.dll", "QueryServiceStatus", (void *)QueryStatusSeenRunning);
    Choose(ServiceCommandId(0, CommandAcpiSleep));
    ReplaceImport("advapi32.dll", "QueryServiceStatus", (void *)RealQueryStatus);
    EXPECT_EQ(std::string::npos, ReadTextFile(service.ini).find("ShutdownOnceCommand"));
    EXPECT_EQ("", ReadTextFile(service.stops)); // refused indeed
    SetTestServiceState(service, "stopped");
}

TEST_F(CommandTest, AutostartSwitchesOnlyTheStartTypeBothWays)
{
    // As -i installs the service, and as an administrator may have it run
    // under a user account, for which Windows refuses an interactive type.
    const struct {
        const char *name, *account;
        DWORD type;
    } installs[] = {
        { "TrayCmdAutostart", NULL, SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS },
        { "TrayCmdAutostartUser", ".\\pelorin", SERVICE_WIN32_OWN_PROCESS },
    };
    for (const auto &install : installs) {
        TestService &service = ListService(install.name, SERVICE_AUTO_START, install.account);
        ASSERT_EQ(1, TrayEntries[0].Autostart);
        EXPECT_TRUE(ReadMenu(ServiceMenus[0])[9].checked);

        Choose(ServiceCommandId(0, CommandAutostart));
        EXPECT_EQ((DWORD)SERVICE_DEMAND_START, QueryStartType(service.name)) << install.name;
        Click();
        EXPECT_EQ(0, TrayEntries[0].Autostart);
        EXPECT_FALSE(ReadMenu(ServiceMenus[0])[9].checked);

        Choose(ServiceCommandId(0, CommandAutostart));
        EXPECT_EQ((DWORD)SERVICE_AUTO_START, QueryStartType(service.name)) << install.name;
        Click();
        EXPECT_EQ(1, TrayEntries[0].Autostart);
        EXPECT_TRUE(ReadMenu(ServiceMenus[0])[9].checked);
        EXPECT_EQ(install.type, QueryServiceType(service.name)) << install.name;
    }
}

typedef SC_HANDLE(WINAPI *OpenServiceFunction)(SC_HANDLE, LPCSTR, DWORD);
OpenServiceFunction RealOpenService;

// A service whose access list gives the user every right but the one to
// change its configuration, as UserRights=control installs it.
SC_HANDLE WINAPI OpenServiceWithoutChangeConfig(SC_HANDLE manager, LPCSTR name, DWORD access)
{
    if ((access & SERVICE_CHANGE_CONFIG) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    return RealOpenService(manager, name, access);
}

TEST_F(CommandTest, AutostartIsGrayedAndDoesNothingWhileTheStartTypeMayNotBeChanged)
{
    TestService &service = ListService("TrayCmdAutostartLocked", SERVICE_AUTO_START);
    ASSERT_FALSE(ReadMenu(ServiceMenus[0])[9].grayed);
    // Wine grants every right on a service: the refusal is played in the import table.
    RealOpenService =
        (OpenServiceFunction)ReplaceImport("advapi32.dll", "OpenServiceA", (void *)OpenServiceWithoutChangeConfig);
    ASSERT_TRUE(RealOpenService != NULL);
    Click();
    ReplaceImport("advapi32.dll", "OpenServiceA", (void *)RealOpenService);
    std::vector<MenuItem> items = ReadMenu(ServiceMenus[0]);
    EXPECT_TRUE(items[9].grayed);
    EXPECT_TRUE(items[9].checked); // it still tells the start type
    EXPECT_FALSE(items[0].grayed); // Start

    // Chosen all the same, it does nothing, though the right is back by now.
    Choose(ServiceCommandId(0, CommandAutostart));
    EXPECT_EQ((DWORD)SERVICE_AUTO_START, QueryStartType(service.name));
    // The next poll finds the right again.
    Click();
    EXPECT_FALSE(ReadMenu(ServiceMenus[0])[9].grayed);
    Choose(ServiceCommandId(0, CommandAutostart));
    EXPECT_EQ((DWORD)SERVICE_DEMAND_START, QueryStartType(service.name));
}

TEST_F(CommandTest, ClearLogDeletesTheLogAndGraysItsItemsAtTheNextClick)
{
    TestService &service = ListService("TrayCmdClearLog");
    std::string log = folder + service.name + ".log";
    WriteTextFile(log, "[01/01/70 00:00:00] VM started\r\n");
    Click();
    ASSERT_FALSE(ReadMenu(ServiceMenus[0])[6].grayed);
    ASSERT_FALSE(ReadMenu(ServiceMenus[0])[7].grayed);

    Choose(ServiceCommandId(0, CommandClearLog));
    EXPECT_FALSE(FileExists(log));
    Click();
    EXPECT_TRUE(ReadMenu(ServiceMenus[0])[6].grayed);
    EXPECT_TRUE(ReadMenu(ServiceMenus[0])[7].grayed);
    EXPECT_TRUE(FileExists(service.ini));
}

// Points the ".txt" class at a program that records what it is asked to open.
class TextClassCapture {
public:
    explicit TextClassCapture(const std::string &folder) : opened_(folder + "opened.txt")
    {
        std::string capture = CopyBuiltProgram("opencapture.exe", folder, "opencapture.exe");
        char previous[256] = "";
        LONG size = sizeof(previous);
        if (RegQueryValueA(HKEY_CLASSES_ROOT, ".txt", previous, &size) == ERROR_SUCCESS)
            previous_ = previous;
        std::string command = Quote(capture) + " \"%1\"";
        RegSetValueA(HKEY_CLASSES_ROOT, "PelorinTestTextCapture\\shell\\open\\command", REG_SZ, command.c_str(),
                     (DWORD)command.size());
        RegSetValueA(HKEY_CLASSES_ROOT, ".txt", REG_SZ, "PelorinTestTextCapture", 22);
    }
    ~TextClassCapture()
    {
        RegSetValueA(HKEY_CLASSES_ROOT, ".txt", REG_SZ, previous_.c_str(), (DWORD)previous_.size());
        RegDeleteTreeA(HKEY_CLASSES_ROOT, "PelorinTestTextCapture");
    }
    // The command lines seen so far, once `count` of them have arrived.
    std::string WaitForOpened(size_t count)
    {
        std::string text;
        for (int i = 0; i < 500; i++) {
            text = ReadTextFile(opened_);
            size_t lines = 0;
            for (char c : text)
                lines += c == '\n';
            if (lines >= count)
                break;
            Sleep(20);
        }
        return text;
    }

private:
    std::string opened_;
    std::string previous_ = "txtfile";
};

TEST_F(CommandTest, ShowLogAndOpenConfigFileOpenTheFilesAsText)
{
    TestService &service = ListService("TrayCmdOpen");
    std::string log = folder + service.name + ".log";
    WriteTextFile(log, "[01/01/70 00:00:00] VM started\r\n");
    TextClassCapture capture(folder);

    Choose(ServiceCommandId(0, CommandShowLog));
    std::string opened = capture.WaitForOpened(1);
    EXPECT_NE(std::string::npos, opened.find(Quote(log))) << opened;

    Choose(ServiceCommandId(0, CommandOpenConfig));
    opened = capture.WaitForOpened(2);
    EXPECT_NE(std::string::npos, opened.find(Quote(service.ini))) << opened;
}

TEST_F(CommandTest, ReloadAfterTheTrayIniWasDeletedSaysNoConfigurationFile)
{
    ListService("TrayCmdReload");
    HMENU oldTop = TrayMenu;
    HMENU oldService = ServiceMenus[0];
    DeleteFileA((folder + "pelorintray.ini").c_str());

    Choose(IDM_RELOAD);
    EXPECT_EQ(-1, TrayEntryCount);
    EXPECT_FALSE(IsMenu(oldService));
    EXPECT_FALSE(IsMenu(oldTop) && oldTop != TrayMenu);
    EXPECT_EQ("No configuration file", MenuTexts(TrayMenu)[0]);

    // The next click shows the same, and the reload's menu destroys cleanly.
    Click();
    EXPECT_EQ("No configuration file", MenuTexts(TrayMenu)[0]);
    EXPECT_EQ(7, GetMenuItemCount(TrayMenu));
}

TEST_F(CommandTest, ReloadPicksUpAServiceAddedToTheTrayIni)
{
    TestService &service = ListService("TrayCmdReloadAdd");
    ASSERT_EQ(1, TrayEntryCount);
    std::string ini = ReadTextFile(folder + "pelorintray.ini");
    WriteTextFile(folder + "pelorintray.ini", ini + "[second]\r\nConfigFile=" + folder + "missing.ini\r\n");

    Choose(IDM_RELOAD);
    ASSERT_EQ(2, TrayEntryCount);
    EXPECT_EQ(Stopped, TrayEntries[0].State);
    EXPECT_EQ(ConfigNotFound, TrayEntries[1].State);
    EXPECT_EQ(2, BuiltMenuCount);
    EXPECT_EQ(service.name + " VM", MenuTexts(TrayMenu)[0]);
    EXPECT_EQ("second", MenuTexts(TrayMenu)[1]);
}

TEST_F(CommandTest, IdentifiersOfNoServiceDoNothing)
{
    // Two services listed, then one: the second one's entry is gone, though
    // the list's memory still holds it.
    TestService &first = ListService("TrayCmdNothing");
    services.push_back(InstallTestService(folder, "TrayCmdNothingGone"));
    TestService &gone = services.back();
    std::string oneService = ReadTextFile(folder + "pelorintray.ini");
    WriteTextFile(folder + "pelorintray.ini", oneService + "[gone]\r\nConfigFile=" + gone.ini + "\r\n");
    Choose(IDM_RELOAD);
    ASSERT_EQ(2, TrayEntryCount);
    WriteTextFile(folder + "pelorintray.ini", oneService);
    Choose(IDM_RELOAD);
    ASSERT_EQ(1, TrayEntryCount);

    WriteTextFile(folder + first.name + ".log", "x");
    WriteTextFile(folder + gone.name + ".log", "x");
    std::string iniBefore = ReadTextFile(gone.ini);
    // Unused offsets, and the block of the service no longer listed.
    const unsigned int ids[] = { 0, 1000, ServiceCommandId(0, 12), ServiceCommandId(0, 19), ServiceCommandId(1, 1),
                                 ServiceCommandId(1, CommandSaveState), ServiceCommandId(1, CommandClearLog),
                                 ServiceCommandId(1, CommandAutostart), 0xFFFF };
    for (unsigned int id : ids)
        Choose(id);
    EXPECT_TRUE(FileExists(folder + first.name + ".log"));
    EXPECT_TRUE(FileExists(folder + gone.name + ".log"));
    EXPECT_EQ(iniBefore, ReadTextFile(gone.ini));
    for (const TestService &service : services) {
        EXPECT_EQ((DWORD)SERVICE_STOPPED, WaitForServiceState(service.name, SERVICE_STOPPED, 500)) << service.name;
        EXPECT_EQ((DWORD)SERVICE_DEMAND_START, QueryStartType(service.name)) << service.name;
    }
}

TEST_F(CommandTest, EntriesThatOfferNoCommandsIgnoreThem)
{
    folder = MakeTestFolder("tray command none offered");
    UseTrayFolder(folder);
    WriteTextFile(folder + "novm.ini", "[Pelorin]\r\nShutdownCommand=savestate\r\n");
    WriteTextFile(folder + "novm.log", "x");
    WriteTextFile(folder + "pelorintray.ini", "[bare]\r\nConfigFile=TrayCmdBare.ini\r\n[no vm]\r\nConfigFile=" + folder +
                                                  "novm.ini\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(NotConfigured, TrayEntries[0].State);
    ASSERT_EQ(NotConfigured, TrayEntries[1].State);
    std::string iniBefore = ReadTextFile(folder + "novm.ini");
    for (int index = 0; index < 2; index++) {
        Choose(ServiceCommandId(index, CommandSaveState));
        Choose(ServiceCommandId(index, CommandClearLog));
    }
    // A bare file name would have been written into the Windows folder.
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof(windows));
    EXPECT_FALSE(FileExists(std::string(windows) + "\\TrayCmdBare.ini"));
    EXPECT_EQ(iniBefore, ReadTextFile(folder + "novm.ini"));
    EXPECT_TRUE(FileExists(folder + "novm.log"));
}

TEST_F(CommandTest, VrdpConsoleStartsMstscOnThePortAtTheScreenSizeOrFullScreen)
{
    folder = MakeTestFolder("tray command console");
    UseTrayFolder(folder);
    std::string vm = UniqueVmName("Console");
    WriteTextFile(folder + "console.ini", ServiceIni(vm));
    WriteTextFile(folder + "pelorintray.ini", "[console]\r\nConfigFile=" + folder + "console.ini\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    TrayEntries[0].State = Running;
    const std::map<DWORD, DWORD> full = { { VrdePort, 3389 }, { ScreenResolution, 0x03000400 } }, none;
    const struct {
        bool listening;
        std::map<DWORD, DWORD> replies;
        const char *parameters; // null: nothing started
        bool otherProcess = false; // the scripted server runs in this process
    } rows[] = {
        { true, full, "/v 127.0.0.1:3389 /w 1024 /h 768" },
        { true, { { VrdePort, 3389 }, { ScreenResolution, 0x03000000 } }, "/v 127.0.0.1:3389 /f" }, // width 0
        { true, { { VrdePort, 3390 }, { ScreenResolution, 0x00000400 } }, "/v 127.0.0.1:3390 /f" }, // height 0
        { true, { { VrdePort, 3389 } }, "/v 127.0.0.1:3389 /f" }, // no size
        { true, { { VrdePort, 0 }, { ScreenResolution, 0x03000400 } }, NULL },
        { true, none, NULL },
        { false, none, NULL },
        { true, full, NULL, true }, // another program's pipe names no port
    };
    for (const auto &row : rows) {
        std::unique_ptr<ScriptedPipeServer> server(row.listening ? new ScriptedPipeServer(vm, row.replies) : NULL);
        TrayEntries[0].ProcessId = GetCurrentProcessId() + (row.otherProcess ? 4 : 0);
        ShellExecuteRecorder shell(false);
        Choose(ServiceCommandId(0, CommandVrdpConsole));
        EXPECT_EQ(row.parameters ? std::vector<std::string>({ std::string("open|mstsc.exe|") + row.parameters + "|-|0|1" })
                                 : std::vector<std::string>(),
                  shell.Lines());
    }

    // A stand-in found as mstsc.exe on the PATH receives the command line.
    CopyBuiltProgram("opencapture.exe", folder, "mstsc.exe");
    char path[8192];
    GetEnvironmentVariableA("PATH", path, sizeof(path));
    SetEnvironmentVariableA("PATH", (folder + ";" + path).c_str());
    ScriptedPipeServer server(vm, full);
    TrayEntries[0].ProcessId = GetCurrentProcessId();
    Choose(ServiceCommandId(0, CommandVrdpConsole));
    std::string opened;
    ASSERT_TRUE(PumpMessagesUntil([&]() { return (opened = ReadTextFile(folder + "opened.txt")).find('\n') != std::string::npos; }));
    EXPECT_EQ(Quote(folder + "mstsc.exe") + " /v 127.0.0.1:3389 /w 1024 /h 768\r\n", opened);
}

} // namespace
