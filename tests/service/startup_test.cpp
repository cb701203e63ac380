// pelorin.exe's start-up and its branches, run as the real program: the usage
// text, the console branch, and the VirtualBox environment it sets up.
#include <gtest/gtest.h>

#include "command_line.h"
#include "settings.h"
#include "test_support.h"

namespace {

const char StartupIni[] =
    "[Pelorin]\r\n"
    "VboxInstallPath=C:/VBox/\r\n"
    "VboxUserHome=C:\\Users\\vbox\\.VirtualBox\r\n"
    "VmName=Web Server\r\n";

std::string ThisTestFolder()
{
    return MakeTestFolder(std::string("startup ") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
}

std::string UsageText(const std::string &name)
{
    return "\r\nPelorin v0.4.1\r\n\r\nUsage:\r\n"
           "\t " + name + " -i\t\tInstall " + name + " service\r\n"
           "\t " + name + " -u\t\tUninstall " + name + " service\r\n";
}

TEST(StartupTest, UsageTextByteForByte)
{
    std::string folder = ThisTestFolder();
    std::string exe = CopyBuiltProgram("pelorin.exe", folder, "pelorin.exe");
    WriteTextFile(folder + "pelorin.ini", StartupIni);

    const char *arguments[] = { "--help", "/?", "x", "-h -i" };
    for (const char *argument : arguments) {
        std::string output;
        EXPECT_EQ(0, RunProgram(Quote(exe) + " " + argument, &output)) << argument;
        EXPECT_EQ(UsageText("pelorin"), output) << argument;
    }
}

TEST(StartupTest, UsageTextOfARenamedCopyShowsItsServiceName)
{
    std::string folder = ThisTestFolder();
    std::string exe = CopyBuiltProgram("pelorin.exe", folder, "Build Server.exe");
    WriteTextFile(folder + "Build Server.ini", StartupIni);

    std::string output;
    EXPECT_EQ(0, RunProgram(Quote(exe) + " --help", &output));
    EXPECT_EQ(UsageText("Build_Server"), output);
}

TEST(StartupTest, UsageWithoutSettingsFileShowsNoNameAndLogsTheMissingFile)
{
    std::string folder = ThisTestFolder();
    std::string exe = CopyBuiltProgram("pelorin.exe", folder, "lonely.exe");

    std::string output;
    EXPECT_EQ(0, RunProgram(Quote(exe) + " help", &output));
    EXPECT_EQ(UsageText(""), output);
    std::string log = ReadTextFile(folder + "lonely.log");
    EXPECT_NE(std::string::npos, log.find("] Configuration file '" + folder + "lonely.ini' does not exist\r\n")) << log;
}

TEST(StartupTest, NoArgumentFromAConsolePrintsNothingAndExitsWithZero)
{
    std::string folder = ThisTestFolder();
    std::string exe = CopyBuiltProgram("pelorin.exe", folder, "pelorin.exe");
    WriteTextFile(folder + "pelorin.ini", std::string(StartupIni) + "Loglevel=3\r\n");

    std::string output = "unset";
    EXPECT_EQ(0, RunProgram(Quote(exe), &output));
    EXPECT_EQ("", output);
    EXPECT_FALSE(FileExists(folder + "pelorin.log"));

    // What is missing is logged once: as a service by ServiceMain, here by
    // the start-up, since ServiceMain never runs.
    WriteTextFile(folder + "pelorin.ini", "[Pelorin]\r\nVboxInstallPath=C:\\VBox\r\nVboxUserHome=C:\\vbox\r\n");
    EXPECT_EQ(0, RunProgram(Quote(exe), &output));
    EXPECT_EQ("", output);
    EXPECT_EQ(std::vector<std::string>({ "ERROR: No VmName configured" }), LogMessagesOf(folder + "pelorin.log"));
}

TEST(StartupTest, InstallAndRemovalOptionsIgnoreCaseAndLaterArguments)
{
    std::string folder = ThisTestFolder();
    std::string exe = CopyBuiltProgram("pelorin.exe", folder, "pelorin.exe");
    WriteTextFile(folder + "pelorin.ini", "[Pelorin]\r\nVmName=x\r\n");
    std::string expected = "\r\nConfiguration is not complete.\r\nCheck " + folder + "pelorin.log file.\r\n";

    const char *arguments[] = { "-I", "-U", "-i extra", "-u -i" };
    for (const char *argument : arguments) {
        std::string output;
        EXPECT_EQ(1, RunProgram(Quote(exe) + " " + argument, &output)) << argument;
        EXPECT_EQ(expected, output) << argument;
    }
}

class EnvironmentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ServiceSettingsRecord initial = {};
        initial.Loglevel = 1;
        ServiceSettings = initial;
        SetEnvironmentVariableA("VBOX_INSTALL_PATH", NULL);
        SetEnvironmentVariableA("VBOX_USER_HOME", NULL);
    }

    static std::string Variable(const char *name)
    {
        char value[MAX_PATH * 2];
        SetLastError(ERROR_SUCCESS);
        DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
        if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
            return "<unset>";
        return std::string(value, length);
    }
};

TEST_F(EnvironmentTest, InstallPathGetsExactlyOneTrailingBackslash)
{
    std::string folder = ThisTestFolder();
    const char *installPaths[] = { "C:/VBox/", "C:\\VBox", "C:\\VBox\\" };
    for (const char *installPath : installPaths) {
        WriteTextFile(folder + "pelorin.ini", std::string("[Pelorin]\r\nVboxInstallPath=") + installPath +
                                                  "\r\nVboxUserHome=C:/Users/vbox/\r\nVmName=vm\r\n");
        ASSERT_EQ(1, LoadSettingsForProgram((folder + "pelorin.exe").c_str(), 1));
        SetVirtualBoxEnvironment();
        EXPECT_EQ("C:\\VBox\\", Variable("VBOX_INSTALL_PATH")) << installPath;
        EXPECT_EQ("C:\\Users\\vbox", Variable("VBOX_USER_HOME")) << installPath;
    }
}

TEST_F(EnvironmentTest, SetEvenWhenTheSettingsAreIncomplete)
{
    std::string folder = ThisTestFolder();
    ASSERT_EQ(0, LoadSettingsForProgram((folder + "missing.exe").c_str(), 1));
    SetVirtualBoxEnvironment();
    EXPECT_EQ("\\", Variable("VBOX_INSTALL_PATH"));
    EXPECT_EQ("", Variable("VBOX_USER_HOME"));
}

} // namespace
