// Loading the service INI: derived names and paths, normalisation, the
// required keys, the word tables, and what a reload keeps.
#include <gtest/gtest.h>

#include <process.h>
#include <string.h>

#include <algorithm>

#include "log.h"
#include "replace_char.h"
#include "settings.h"
#include "test_support.h"

namespace {

const char CompleteIni[] =
    "[Pelorin]\r\n"
    "VboxInstallPath=C:/VBox/\r\n"
    "VboxUserHome=C:\\Users\\vbox\\.VirtualBox\r\n"
    "VmName=Web Server\r\n";

class SettingsTest : public ::testing::Test {
protected:
    std::string folder;

    void SetUp() override
    {
        folder = MakeTestFolder(std::string("settings ") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        ServiceSettingsRecord initial = {};
        initial.Loglevel = 1;
        initial.PriorityClass = NORMAL_PRIORITY_CLASS;
        ServiceSettings = initial;
    }

    // Writes <name>.ini beside a (never created) <name>.exe and loads it.
    int Load(const std::string &program, const std::string &ini, int fullLoad = 1)
    {
        std::string exe = folder + program;
        WriteTextFile(exe.substr(0, exe.size() - 4) + ".ini", ini);
        return LoadSettingsForProgram(exe.c_str(), fullLoad);
    }

    std::string Log(const std::string &program) { return ReadTextFile(folder + program.substr(0, program.size() - 4) + ".log"); }
};

TEST_F(SettingsTest, DerivesIniLogAndServiceNameFromTheProgramFile)
{
    ASSERT_EQ(1, Load("pelorin.exe", CompleteIni));
    EXPECT_EQ(folder + "pelorin.exe", ServiceSettings.ExePath);
    EXPECT_EQ(folder + "pelorin.ini", ServiceSettings.IniPath);
    EXPECT_EQ(folder + "pelorin.log", ServiceSettings.LogPath);
    EXPECT_STREQ("pelorin", ServiceSettings.ServiceKeyName);
    EXPECT_STREQ("Web Server", ServiceSettings.VmName);
}

TEST_F(SettingsTest, BlanksBecomeUnderscoresInTheServiceNameButNotInPaths)
{
    ASSERT_EQ(1, Load("Build Server.exe", CompleteIni));
    EXPECT_STREQ("Build_Server", ServiceSettings.ServiceKeyName);
    EXPECT_EQ(folder + "Build Server.ini", ServiceSettings.IniPath);
    EXPECT_EQ(folder + "Build Server.log", ServiceSettings.LogPath);
}

TEST_F(SettingsTest, ShortProgramNamesFallBackToPelorin)
{
    ASSERT_EQ(1, Load("a.exe", CompleteIni));
    EXPECT_STREQ("a", ServiceSettings.ServiceKeyName);

    // Four characters or fewer leave no name: the service is then called pelorin.
    ASSERT_EQ(1, Load("b.ex", CompleteIni));
    EXPECT_STREQ("pelorin", ServiceSettings.ServiceKeyName);
    EXPECT_EQ(folder + ".ini", ServiceSettings.IniPath);

    ASSERT_EQ(1, Load("webserver.bin", CompleteIni));
    EXPECT_STREQ("webserver", ServiceSettings.ServiceKeyName);
    EXPECT_EQ(folder + "webserver.ini", ServiceSettings.IniPath);
}

TEST_F(SettingsTest, FolderPathsTakeSlashesAndLoseOneTrailingSeparator)
{
    ASSERT_EQ(1, Load("pelorin.exe",
                      "[Pelorin]\r\nVboxInstallPath=C:/VBox/\r\nVboxUserHome=D:/vbox home//\r\nVmName=vm\r\n"));
    EXPECT_STREQ("C:\\VBox", ServiceSettings.VboxInstallPath);
    EXPECT_STREQ("D:\\vbox home\\", ServiceSettings.VboxUserHome);

    ASSERT_EQ(1, Load("pelorin.exe",
                      "[Pelorin]\r\nVboxInstallPath=C:\\VBox\r\nVboxUserHome=\"C:\\home\\\"\r\nVmName=  spaced name  \r\n"));
    EXPECT_STREQ("C:\\VBox", ServiceSettings.VboxInstallPath);
    EXPECT_STREQ("C:\\home", ServiceSettings.VboxUserHome);
    EXPECT_STREQ("spaced name", ServiceSettings.VmName);
}

TEST_F(SettingsTest, EveryMissingRequiredKeyIsLoggedWithItsOwnLine)
{
    const std::string installPath = "ERROR: VboxInstallPath not configured";
    const std::string userHome = "ERROR: VboxUserHome not configured";
    const std::string vmName = "ERROR: No VmName configured";
    struct Case {
        const char *ini;
        std::vector<std::string> lines;
    } cases[] = {
        { "[Pelorin]\r\nVboxUserHome=C:\\h\r\nVmName=vm\r\n", { installPath } },
        { "[Pelorin]\r\nVboxInstallPath=C:\\v\r\nVboxUserHome=\r\nVmName=vm\r\n", { userHome } },
        { "[Pelorin]\r\nVboxInstallPath=C:\\v\r\nVboxUserHome=C:\\h\r\nVmName=\r\n", { vmName } },
        { "[Pelorin]\r\nVboxInstallPath=C:\\v\r\n", { userHome, vmName } },
        { "[Pelorin]\r\nVmName=vm\r\n", { installPath, userHome } },
        { "[Pelorin]\r\n", { installPath, userHome, vmName } },
    };
    for (const Case &c : cases) {
        DeleteFileA((folder + "pelorin.log").c_str());
        EXPECT_EQ(0, Load("pelorin.exe", c.ini)) << c.ini;
        std::string log = Log("pelorin.exe");
        size_t at = 0;
        for (const std::string &line : c.lines) {
            at = log.find("] " + line + "\r\n", at);
            EXPECT_NE(std::string::npos, at) << log;
        }
        EXPECT_EQ(c.lines.size(), (size_t)std::count(log.begin(), log.end(), '\n')) << log;
    }
}

TEST_F(SettingsTest, FieldsAfterAFailedRequiredKeyKeepTheirValues)
{
    ASSERT_EQ(0, Load("pelorin.exe",
                      "[Pelorin]\r\nVboxInstallPath=C:\\v\r\nVmName=vm\r\nServiceName=Shown\r\nPriority=high\r\n"
                      "ShutdownCommand=savestate\r\n"));
    EXPECT_STREQ("C:\\v", ServiceSettings.VboxInstallPath);
    EXPECT_STREQ("", ServiceSettings.VmName);
    EXPECT_STREQ("", ServiceSettings.DisplayName);
    EXPECT_EQ((DWORD)NORMAL_PRIORITY_CLASS, ServiceSettings.PriorityClass);
    EXPECT_EQ(StopMethodNone, ServiceSettings.StopMethod);
    EXPECT_STREQ("", ServiceSettings.ShutdownCommand);
}

TEST_F(SettingsTest, MissingFileIsLoggedAndNoNameIsDerived)
{
    std::string exe = folder + "absent.exe";
    EXPECT_EQ(0, LoadSettingsForProgram(exe.c_str(), 1));
    EXPECT_STREQ("", ServiceSettings.ServiceKeyName);
    EXPECT_EQ(folder + "absent.log", ServiceSettings.LogPath);
    std::string log = Log("absent.exe");
    EXPECT_NE(std::string::npos, log.find("] Configuration file '" + folder + "absent.ini' does not exist\r\n")) << log;
    EXPECT_EQ(1, std::count(log.begin(), log.end(), '\n'));
}

TEST_F(SettingsTest, DisplayNameIsOptional)
{
    ASSERT_EQ(1, Load("pelorin.exe", CompleteIni));
    EXPECT_STREQ("", ServiceSettings.DisplayName);
    ASSERT_EQ(1, Load("pelorin.exe", std::string(CompleteIni) + "ServiceName=Web server VM\r\n"));
    EXPECT_STREQ("Web server VM", ServiceSettings.DisplayName);
}

TEST_F(SettingsTest, PriorityWordsInAnyCase)
{
    struct Case {
        const char *value;
        DWORD priorityClass;
    } cases[] = {
        { "idle", IDLE_PRIORITY_CLASS },
        { "Below Normal", BELOW_NORMAL_PRIORITY_CLASS },
        { "NORMAL", NORMAL_PRIORITY_CLASS },
        { "above normal", ABOVE_NORMAL_PRIORITY_CLASS },
        { "HIGH", HIGH_PRIORITY_CLASS },
        { "realtime", NORMAL_PRIORITY_CLASS },
        { "High Priority", NORMAL_PRIORITY_CLASS },
        { "", NORMAL_PRIORITY_CLASS },
    };
    for (const Case &c : cases) {
        ServiceSettings.PriorityClass = 0;
        ASSERT_EQ(1, Load("pelorin.exe", std::string(CompleteIni) + "Priority=" + c.value + "\r\n"));
        EXPECT_EQ(c.priorityClass, ServiceSettings.PriorityClass) << c.value;
    }
    ServiceSettings.PriorityClass = 0;
    ASSERT_EQ(1, Load("pelorin.exe", CompleteIni));
    EXPECT_EQ((DWORD)NORMAL_PRIORITY_CLASS, ServiceSettings.PriorityClass);
}

TEST_F(SettingsTest, StopMethodWordsKeepTheirCaseAndUnknownWordsMeanPowerOff)
{
    struct Case {
        const char *lines;
        const char *command;
        StopMethod method;
    } cases[] = {
        { "", "poweroff", StopMethodPowerOff },
        { "ShutdownCommand=SaveState\r\n", "SaveState", StopMethodSaveState },
        { "ShutdownCommand=ACPIPowerButton\r\n", "ACPIPowerButton", StopMethodAcpiPowerButton },
        { "ShutdownCommand=acpisleepbutton\r\n", "acpisleepbutton", StopMethodAcpiSleepButton },
        { "ShutdownCommand=POWEROFF\r\n", "POWEROFF", StopMethodPowerOff },
        { "ShutdownCommand=hibernate\r\n", "poweroff", StopMethodPowerOff },
        { "ShutdownCommand=\r\n", "poweroff", StopMethodPowerOff },
        { "ShutdownCommand=savestate\r\nShutdownOnceCommand=acpipowerbutton\r\n", "acpipowerbutton", StopMethodAcpiPowerButton },
        { "ShutdownCommand=savestate\r\nShutdownOnceCommand=\r\n", "savestate", StopMethodSaveState },
        { "ShutdownCommand=savestate\r\nShutdownOnceCommand=bogus\r\n", "poweroff", StopMethodPowerOff },
    };
    for (const Case &c : cases) {
        ASSERT_EQ(1, Load("pelorin.exe", std::string(CompleteIni) + c.lines));
        EXPECT_STREQ(c.command, ServiceSettings.ShutdownCommand) << c.lines;
        EXPECT_EQ(c.method, ServiceSettings.StopMethod) << c.lines;
    }
}

TEST_F(SettingsTest, LoglevelKeepsOnlyTheLowByteAsASignedValue)
{
    struct Case {
        const char *value;
        int level;
    } cases[] = {
        { "", 1 }, { "0", 0 }, { "2", 2 }, { "127", 127 }, { "128", -128 },
        { "255", -1 }, { "256", 0 }, { "259", 3 }, { "-1", -1 },
    };
    for (const Case &c : cases) {
        std::string line = c.value[0] ? std::string("Loglevel=") + c.value + "\r\n" : "";
        ASSERT_EQ(1, Load("pelorin.exe", std::string(CompleteIni) + line));
        EXPECT_EQ(c.level, ServiceSettings.Loglevel) << c.value;
    }
}

TEST_F(SettingsTest, MaxWaitTimeoutDefaultsToFiveMinutes)
{
    ASSERT_EQ(1, Load("pelorin.exe", CompleteIni));
    EXPECT_EQ(300000u, ServiceSettings.MaxWaitTimeout);
    ASSERT_EQ(1, Load("pelorin.exe", std::string(CompleteIni) + "MaxWaitTimeout=60000\r\n"));
    EXPECT_EQ(60000u, ServiceSettings.MaxWaitTimeout);
}

// The fallback is one of the two methods that end any guest, or none.
TEST_F(SettingsTest, AStopFallsBackToASaveAfterTwoMinutesUnlessSetOtherwise)
{
    const struct {
        const char *lines;
        DWORD timeout;
        const char *word;
        StopMethod method;
    } rows[] = {
        { "", 120000, "savestate", StopMethodSaveState },
        { "ShutdownTimeout=0\r\nShutdownFallbackCommand=PowerOff\r\n", 0, "PowerOff", StopMethodPowerOff },
        { "ShutdownTimeout=5000\r\nShutdownFallbackCommand=NONE\r\n", 5000, "NONE", StopMethodNone },
        { "ShutdownFallbackCommand=acpipowerbutton\r\n", 120000, "savestate", StopMethodSaveState },
    };
    for (const auto &row : rows) {
        ASSERT_EQ(1, Load("pelorin.exe", std::string(CompleteIni) + row.lines)) << row.lines;
        char word[64];
        StopMethod method;
        DWORD timeout;
        CopyFallbackSettings(word, sizeof(word), &method, &timeout);
        EXPECT_STREQ(row.word, word) << row.lines;
        EXPECT_EQ(row.method, method) << row.lines;
        EXPECT_EQ(row.timeout, timeout) << row.lines;
    }
}

TEST_F(SettingsTest, ReloadRereadsOnlyLoglevelAndShutdownSettings)
{
    ASSERT_EQ(1, Load("Web VM.exe", std::string(CompleteIni) + "ServiceName=First\r\nPriority=idle\r\n"));

    std::string changed =
        "[Pelorin]\r\nVboxInstallPath=D:\\Other\r\nVboxUserHome=D:\\Home\r\nVmName=Other VM\r\nServiceName=Second\r\n"
        "Priority=high\r\nLoglevel=3\r\nShutdownCommand=savestate\r\nShutdownOnceCommand=AcpiSleepButton\r\n"
        "MaxWaitTimeout=1000\r\n";
    ASSERT_EQ(1, Load("Web VM.exe", changed, 0));

    EXPECT_STREQ("Web_VM", ServiceSettings.ServiceKeyName);
    EXPECT_STREQ("C:\\VBox", ServiceSettings.VboxInstallPath);
    EXPECT_STREQ("Web Server", ServiceSettings.VmName);
    EXPECT_STREQ("First", ServiceSettings.DisplayName);
    EXPECT_EQ((DWORD)IDLE_PRIORITY_CLASS, ServiceSettings.PriorityClass);
    EXPECT_EQ(3, ServiceSettings.Loglevel);
    EXPECT_STREQ("AcpiSleepButton", ServiceSettings.ShutdownCommand);
    EXPECT_EQ(StopMethodAcpiSleepButton, ServiceSettings.StopMethod);
    EXPECT_EQ(1000u, ServiceSettings.MaxWaitTimeout);
}

TEST_F(SettingsTest, ReloadOfAMissingFileKeepsTheShutdownSettings)
{
    ASSERT_EQ(1, Load("pelorin.exe", std::string(CompleteIni) + "ShutdownCommand=savestate\r\nMaxWaitTimeout=5000\r\n"));
    DeleteFileA(ServiceSettings.IniPath);
    EXPECT_EQ(0, LoadSettingsForProgram(ServiceSettings.ExePath, 0));
    EXPECT_STREQ("savestate", ServiceSettings.ShutdownCommand);
    EXPECT_EQ(StopMethodSaveState, ServiceSettings.StopMethod);
    EXPECT_EQ(5000u, ServiceSettings.MaxWaitTimeout);
}

static volatile LONG Reloading;

static unsigned __stdcall ReloadRepeatedly(void *)
{
    for (int i = 0; i < 200; i++)
        LoadSettings(0);
    Reloading = 0;
    return 0;
}

// The control handler reloads while the stop, the log and the heartbeat read:
// they never see a path cleared, nor a word about to become "poweroff".
TEST_F(SettingsTest, AReloadShowsOtherThreadsOnlyWholeValues)
{
    ASSERT_EQ(1, Load("pelorin.exe", std::string(CompleteIni) + "ShutdownOnceCommand=hibernate\r\n"));
    const std::string iniPath = ServiceSettings.IniPath;
    Reloading = 1;
    HANDLE reloader = (HANDLE)_beginthreadex(NULL, 0, ReloadRepeatedly, NULL, 0, NULL);
    int torn = 0;
    while (Reloading) {
        char word[64];
        StopMethod method;
        CopyShutdownSettings(word, sizeof(word), &method);
        torn += strcmp(word, "poweroff") != 0 || method != StopMethodPowerOff || iniPath != ServiceSettings.IniPath;
    }
    WaitForSingleObject(reloader, INFINITE);
    CloseHandle(reloader);
    EXPECT_EQ(0, torn);
}

TEST_F(SettingsTest, LongValuesAreCutToTheirBuffers)
{
    std::string longName(400, 'n');
    std::string longWord(100, 'w');
    ASSERT_EQ(1, Load("pelorin.exe", "[Pelorin]\r\nVboxInstallPath=C:\\v\r\nVboxUserHome=C:\\h\r\nVmName=" + longName +
                                         "\r\nServiceName=" + longName + "\r\nShutdownCommand=" + longWord + "\r\n"));
    EXPECT_EQ(254u, strlen(ServiceSettings.VmName));
    EXPECT_EQ(254u, strlen(ServiceSettings.DisplayName));
    EXPECT_STREQ("poweroff", ServiceSettings.ShutdownCommand);
}

TEST(ReplaceCharTest, ReplacesEveryOccurrenceInPlace)
{
    char path[] = "C:/VBox/bin//x";
    ReplaceChar(path, '/', '\\');
    EXPECT_STREQ("C:\\VBox\\bin\\\\x", path);

    char name[] = " Build  Server ";
    ReplaceChar(name, ' ', '_');
    EXPECT_STREQ("_Build__Server_", name);

    ReplaceChar(NULL, '/', '\\');
}

} // namespace
