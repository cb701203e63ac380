// Reading the tray INI and the services' INI files into the service list.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include "command_ids.h"
#include "service_list.h"
#include "test_support.h"
#include "tray_test_support.h"

namespace {

class ServiceListTest : public TrayTest {
protected:
    std::string folder;

    void UseFolder(const std::string &name)
    {
        folder = MakeTestFolder("tray list " + name);
        UseTrayFolder(folder);
    }
    void WriteTrayIni(const std::string &text) { WriteTextFile(folder + "pelorintray.ini", text); }
    std::string Path(const std::string &fileName) { return folder + fileName; }
};

TEST_F(ServiceListTest, NoTrayIniLeavesTheCountAtMinusOne)
{
    UseFolder("no ini");
    EXPECT_EQ(PollFailed, LoadServiceList());
    EXPECT_EQ(-1, TrayEntryCount);
    EXPECT_EQ(folder + "pelorintray.ini", std::string(TrayIniPath));
}

TEST_F(ServiceListTest, IniWithoutSectionsGivesAnEmptyList)
{
    UseFolder("empty");
    WriteTrayIni("; watched services go here\r\n");
    EXPECT_EQ(PollSucceeded, LoadServiceList());
    EXPECT_EQ(0, TrayEntryCount);
}

TEST_F(ServiceListTest, ProgramPathOfFourCharactersOrFewerFailsAndChangesNothing)
{
    UseFolder("short path");
    WriteTrayIni("[one]\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    strcpy(TrayProgramPath, "a.ex");
    EXPECT_EQ(PollFailed, LoadServiceList());
    EXPECT_EQ(1, TrayEntryCount);
    EXPECT_EQ(folder + "pelorintray.ini", std::string(TrayIniPath));
}

TEST_F(ServiceListTest, SectionNamesBeyondTheFirstBufferAreAllRead)
{
    UseFolder("many sections");
    std::string ini;
    // 300 names of 40 characters need about 12 KB: the buffer doubles four times.
    for (int i = 0; i < 300; i++) {
        char name[64];
        snprintf(name, sizeof(name), "service %03d with a rather long label....", i);
        ini += std::string("[") + name + "]\r\n";
    }
    WriteTrayIni(ini);
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(300, TrayEntryCount);
    EXPECT_STREQ("service 000 with a rather long label....", TrayEntries[0].SectionName);
    EXPECT_STREQ("service 299 with a rather long label....", TrayEntries[299].SectionName);
}

TEST_F(ServiceListTest, SectionNamesOfMoreThan16MiBGiveUpWithAnEmptyList)
{
    UseFolder("huge");
    // 84,000 distinct names of 200 characters need about 16.9 MB.
    std::string ini;
    ini.reserve(84000 * 204);
    char name[201];
    memset(name, 'n', 200);
    name[200] = '\0';
    for (int i = 0; i < 84000; i++) {
        char number[16];
        int length = snprintf(number, sizeof(number), "%d", i);
        memcpy(name, number, length);
        ini += "[";
        ini += name;
        ini += "]\r\n";
    }
    WriteTrayIni(ini);
    EXPECT_EQ(PollSectionNamesTooLarge, LoadServiceList());
    EXPECT_EQ(0, TrayEntryCount);
}

TEST_F(ServiceListTest, LongSectionNameIsCutTo127CharactersAndStillFindsItsKeys)
{
    UseFolder("long name");
    std::string name(200, 'x');
    name.replace(0, 5, "long ");
    WriteTextFile(Path("web.ini"), ServiceIni(""));
    WriteTrayIni("[" + name + "]\r\nConfigFile=" + Path("web.ini") + "\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(1, TrayEntryCount);
    EXPECT_EQ(name.substr(0, 127), std::string(TrayEntries[0].SectionName));
    // Without a machine name the menu shows the cut section name.
    EXPECT_EQ(name.substr(0, 127), std::string(TrayEntries[0].VmName));
    EXPECT_EQ(Path("web.ini"), std::string(TrayEntries[0].ConfigPath));
}

TEST_F(ServiceListTest, MissingOrEmptyConfigFileIsNotConfigured)
{
    UseFolder("no config");
    WriteTrayIni("[no key]\r\nOther=1\r\n[empty key]\r\nConfigFile=\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(2, TrayEntryCount);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(NotConfigured, TrayEntries[i].State);
        EXPECT_STREQ(TrayEntries[i].SectionName, TrayEntries[i].VmName);
        EXPECT_STREQ("", TrayEntries[i].LogPath);
        EXPECT_STREQ("", TrayEntries[i].ServiceName);
    }
}

TEST_F(ServiceListTest, ConfigFileNamingAMissingFileIsConfigNotFound)
{
    UseFolder("missing file");
    WriteTrayIni("[gone]\r\nConfigFile=" + Path("gone.ini") + "\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(1, TrayEntryCount);
    EXPECT_EQ(ConfigNotFound, TrayEntries[0].State);
    EXPECT_STREQ("gone", TrayEntries[0].VmName);
    EXPECT_EQ(Path("gone.log"), std::string(TrayEntries[0].LogPath));
    EXPECT_STREQ("", TrayEntries[0].ServiceName);
}

TEST_F(ServiceListTest, ForwardSlashesWorkLikeBackslashes)
{
    UseFolder("slashes");
    WriteTextFile(Path("web.ini"), ServiceIni("Web Server"));
    std::string forward = Path("web.ini");
    for (char &c : forward) {
        if (c == '\\')
            c = '/';
    }
    WriteTrayIni("[forward]\r\nConfigFile=" + forward + "\r\n[backward]\r\nConfigFile=" + Path("web.ini") + "\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(2, TrayEntryCount);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(Path("web.ini"), std::string(TrayEntries[i].ConfigPath));
        EXPECT_EQ(Path("web.log"), std::string(TrayEntries[i].LogPath));
        EXPECT_STREQ("web", TrayEntries[i].ServiceName);
        EXPECT_STREQ("Web Server", TrayEntries[i].VmName);
        EXPECT_EQ(Undetermined, TrayEntries[i].State);
    }
}

TEST_F(ServiceListTest, BlanksInTheFileNameBecomeUnderscoresInTheServiceNameOnly)
{
    UseFolder("blanks");
    WriteTextFile(Path("Build Server.ini"), ServiceIni("Build"));
    WriteTrayIni("[build]\r\nConfigFile=" + Path("Build Server.ini") + "\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(1, TrayEntryCount);
    EXPECT_STREQ("Build_Server", TrayEntries[0].ServiceName);
    EXPECT_EQ(Path("Build Server.ini"), std::string(TrayEntries[0].ConfigPath));
    EXPECT_EQ(Path("Build Server.log"), std::string(TrayEntries[0].LogPath));
}

TEST_F(ServiceListTest, ServiceIniWithoutVmNameIsNotConfigured)
{
    UseFolder("no vm name");
    WriteTextFile(Path("web.ini"), "[Pelorin]\r\nVboxUserHome=C:\\vbox\r\nShutdownCommand=savestate\r\n");
    WriteTrayIni("[web label]\r\nConfigFile=" + Path("web.ini") + "\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(1, TrayEntryCount);
    EXPECT_EQ(NotConfigured, TrayEntries[0].State);
    EXPECT_STREQ("web label", TrayEntries[0].VmName);
    EXPECT_STREQ("", TrayEntries[0].ServiceName);
    EXPECT_EQ(Path("web.log"), std::string(TrayEntries[0].LogPath));
}

TEST_F(ServiceListTest, ConfigFileThatGivesNoServiceNameIsNotConfigured)
{
    UseFolder("no service name");
    // Both files exist; neither path can name a service.
    WriteTextFile(Path(".ini"), ServiceIni("short"));
    WriteTrayIni("[bare]\r\nConfigFile=web.ini\r\n[short]\r\nConfigFile=" + Path(".ini") + "\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(2, TrayEntryCount);
    EXPECT_EQ(NotConfigured, TrayEntries[0].State);
    EXPECT_STREQ("bare", TrayEntries[0].VmName);
    EXPECT_STREQ("", TrayEntries[0].ServiceName);
    EXPECT_EQ(NotConfigured, TrayEntries[1].State);
    EXPECT_STREQ("short", TrayEntries[1].VmName);
    EXPECT_STREQ("", TrayEntries[1].ServiceName);
}

TEST_F(ServiceListTest, ShutdownCommandInAnyCaseSetsTheStopMethod)
{
    UseFolder("stop methods");
    const struct {
        const char *word;
        int method;
    } cases[] = {
        { "SaveState", TrayStopSaveState },     { "ACPIPowerButton", TrayStopAcpiPowerButton },
        { "acpisleepbutton", TrayStopAcpiSleepButton }, { "POWEROFF", TrayStopPowerOff },
        { "save state", TrayStopNone },         { "hibernate", TrayStopNone },
        { "", TrayStopNone },
    };
    std::string ini;
    int n = 0;
    for (const auto &c : cases) {
        std::string file = Path("vm" + std::to_string(n) + ".ini");
        WriteTextFile(file, ServiceIni("vm", std::string("ShutdownCommand=") + c.word + "\r\n"));
        ini += "[vm" + std::to_string(n++) + "]\r\nConfigFile=" + file + "\r\n";
    }
    WriteTrayIni(ini);
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(n, TrayEntryCount);
    for (int i = 0; i < n; i++)
        EXPECT_EQ(cases[i].method, TrayEntries[i].StopMethod) << cases[i].word;
}

TEST_F(ServiceListTest, ReloadReadsTheListAfreshInEveryLength)
{
    UseFolder("reload");
    WriteTrayIni("[a]\r\n[b]\r\n[c]\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(3, TrayEntryCount);
    WriteTrayIni("[d]\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(1, TrayEntryCount);
    EXPECT_STREQ("d", TrayEntries[0].SectionName);
    std::string ini;
    for (int i = 0; i < 40; i++)
        ini += "[s" + std::to_string(i) + "]\r\n";
    WriteTrayIni(ini);
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(40, TrayEntryCount);
    EXPECT_STREQ("s39", TrayEntries[39].SectionName);
    EXPECT_EQ(NotConfigured, TrayEntries[39].State);
    DeleteFileA((folder + "pelorintray.ini").c_str());
    EXPECT_EQ(PollFailed, LoadServiceList());
    EXPECT_EQ(-1, TrayEntryCount);
}

TEST_F(ServiceListTest, ServicesBeyondThoseThatCommandIdentifiersCanNumberAreLeftOut)
{
    UseFolder("too many");
    ASSERT_EQ(3227, MAX_TRAY_ENTRIES);
    ASSERT_LE(ServiceCommandId(MAX_TRAY_ENTRIES - 1, CommandClearLog), 0xFFFFu);
    ASSERT_GT(ServiceCommandId(MAX_TRAY_ENTRIES, CommandStart), 0xFFFFu);
    std::string ini;
    for (int i = 0; i < MAX_TRAY_ENTRIES + 3; i++)
        ini += "[s" + std::to_string(i) + "]\r\n";
    WriteTrayIni(ini);
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_EQ(MAX_TRAY_ENTRIES, TrayEntryCount);
    EXPECT_STREQ("s3226", TrayEntries[MAX_TRAY_ENTRIES - 1].SectionName);
}

} // namespace
