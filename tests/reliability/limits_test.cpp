// Inputs at and past every limit, for the service under Wine's Service
// Control Manager and for the tray helper that lists it: names and paths of
// their greatest lengths, blanks and letters outside ASCII (code page 1252),
// a 32 KiB INI line, and INI files that are missing, empty, binary or a
// folder. Each ends in a defined state with its log line, and the INI file
// is kept whole, also when Wine's profile functions rewrite it to delete a
// one-off stop method.
#include "service_fixture.h"

#include <process.h>

#include <algorithm>

#include "control_pipe.h"
#include "pipe_client.h"
#include "pipe_harness.h"
#include "pipe_server.h"
#include "process_probe.h"
#include "service_list.h"
#include "settings.h"
#include "test_support.h"
#include "tray_test_support.h"
#include "vbox_api.h"

namespace {

const std::vector<std::string> StartLineFormats = { "Starting VM '%s'", "VM '%s' started" };
const std::vector<std::string> StopLineFormats = { "Stopping (poweroff) VM '%s'", "VM '%s' stopped (poweroff)" };

std::vector<std::string> Named(const std::vector<std::string> &lines, const std::string &vmName)
{
    std::vector<std::string> named;
    for (std::string line : lines) {
        size_t at = line.find("%s");
        if (at != std::string::npos)
            line.replace(at, 2, vmName);
        named.push_back(line);
    }
    return named;
}

std::vector<std::string> Sorted(std::vector<std::string> lines)
{
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Bytes no text editor wrote, NULs among them, the same in every run.
std::string BinaryBytes(size_t size)
{
    std::string bytes;
    unsigned value = 12345;
    for (size_t i = 0; i < size; i++) {
        value = value * 1103515245 + 12345;
        bytes.push_back((char)(value >> 16));
    }
    return bytes;
}

// A folder below the given one (which exists and ends in a backslash) whose
// path, with the file name added, has exactly the given length; made as
// needed, from folders of at most 100 characters.
std::string FolderForPathOf(std::string folder, size_t length, const std::string &fileName)
{
    while (folder.size() + fileName.size() < length) {
        size_t room = length - folder.size() - fileName.size();
        size_t part = room <= 101 ? room - 1 : room - 101 == 1 ? 99 : 100;
        folder += std::string(part, 'd') + "\\";
        CreateDirectoryA(folder.c_str(), NULL);
    }
    return folder;
}

// The folder without its trailing backslash.
std::string Unslashed(const std::string &folder)
{
    return folder.substr(0, folder.size() - 1);
}

class LimitTest : public ServiceFixture {
protected:
    void PutMachineNamed(const std::string &name)
    {
        StandinMachine machine = {};
        lstrcpynA(machine.name, name.c_str(), sizeof(machine.name));
        strcpy(machine.uuid, TestVmUuid);
        machine.state = MachineStatePoweredOff;
        machine.vrdeEnabled = 1;
        machine.vrdePort = 3389;
        machine.width = 1024;
        machine.height = 768;
        ASSERT_EQ(1, StandinPutMachine(&machine));
    }

    // The service reports running once VBoxHeadless is started; the machine
    // runs once VBoxHeadless has taken its session.
    long WaitForMachineRunning(const std::string &name)
    {
        StandinMachine machine = {};
        for (int i = 0; i < 200; i++) {
            if (StandinGetMachine(name.c_str(), &machine) && machine.state == MachineStateRunning)
                break;
            Sleep(50);
        }
        return machine.state;
    }

    std::string IniFor(const std::string &vmName, const std::string &install, const std::string &head = "")
    {
        return head + "[Pelorin]\r\nVboxInstallPath=" + install + "\r\nVboxUserHome=C:\\Users\\vbox\\.VirtualBox\r\nVmName=" +
               vmName + "\r\nServiceName=" + base + "\r\nLoglevel=2\r\n";
    }

    // Runs the service once: if it comes up, asks its pipe and writes a
    // one-off stop method as the tray does, then stops it. Returns its final
    // status once its program's process has ended.
    SERVICE_STATUS RunOnce(const std::string &name, const std::string &program, const std::string &iniPath,
                           const std::string &vmName, bool pipeServed, const std::string &row)
    {
        DWORD started = StartServiceByName(name);
        EXPECT_TRUE(started == 0 || started == ERROR_SERVICE_REQUEST_TIMEOUT) << row << " " << started;
        DWORD state = 0;
        for (int i = 0; i < 600 && (state = QueryServiceStatusOf(name).dwCurrentState) != SERVICE_RUNNING; i++) {
            if (ProcessesNamed(program).empty())
                break;
            Sleep(50);
        }
        if (state == SERVICE_RUNNING) {
            EXPECT_EQ(MachineStateRunning, WaitForMachineRunning(vmName)) << row;
            EXPECT_EQ(pipeServed ? 3389u : ~0u, AskControlPipe(vmName, VrdePort)) << row;
            EXPECT_TRUE(WritePrivateProfileStringA("Pelorin", "ShutdownOnceCommand", "poweroff", iniPath.c_str())) << row;
            EXPECT_EQ(0u, StopServiceByName(name)) << row;
        }
        for (const RunningProcess &process : ProcessesNamed(program))
            EXPECT_TRUE(WaitForProcessEnd(process.id, 30000)) << row;
        return QueryServiceStatusOf(name);
    }
};

TEST_F(LimitTest, ServiceSettingsAtAndPastTheirLimits)
{
    enum Kind { Text, Folder, Empty, Binary, Missing };
    // The stand-in catalogues no machine whose name has more than 210
    // characters (Wine's registry takes key paths of at most 255): the
    // longest names are passed to VirtualBox whole, which does not know them.
    std::string name254(254, 'w'), name32k(32768, 'x');
    std::string longInstall = MakeInstallFolder(Unslashed(FolderForPathOf(folder, 259, "VBoxHeadless.exe")));
    CreateDirectoryA((folder + "e").c_str(), NULL);
    std::string tooLongInstall = Unslashed(FolderForPathOf(folder + "e\\", 260, "VBoxHeadless.exe"));
    // Every required key is missing, each logged once by the start.
    std::vector<std::string> noKeys = { "ERROR: VboxInstallPath not configured", "ERROR: VboxUserHome not configured",
                                        "ERROR: No VmName configured" };
    std::string missing = "Configuration file '" + ini + "' does not exist";
    std::string unknown = "ERROR: Could not find registered VM '%s'";
    struct Case {
        const char *row;
        Kind kind;
        std::string iniText;
        std::string machine;      // registered under this name
        DWORD specificExitCode;   // 0: it runs and is stopped
        bool pipeServed;
        std::vector<std::string> lines;  // in any order, besides the pipe's own line
    } cases[] = {
        { "VmName of 254 characters", Text, IniFor(name254, installPath), TestVmName, 0x80800001, false,
          Named({ unknown }, name254) },
        { "VmName of 32 KiB, cut to 254", Text, IniFor(name32k, installPath), TestVmName, 0x80800001, false,
          Named({ unknown }, name32k.substr(0, 254)) },
        { "a 32 KiB line before the section", Text,
          IniFor(TestVmName, installPath, ";" + std::string(32768, 'c') + "\r\n"), TestVmName, 0, true,
          Named(JoinLines(StartLineFormats, StopLineFormats), TestVmName) },
        { "VBoxHeadless path of 259 characters", Text, IniFor(TestVmName, longInstall), TestVmName, 0, true,
          Named(JoinLines(StartLineFormats, StopLineFormats), TestVmName) },
        { "VBoxHeadless path of 260 characters", Text, IniFor(TestVmName, tooLongInstall), TestVmName, 0x80800001, true,
          { "ERROR: Can't find VBoxHeadless executable. Check your VboxInstallPath option in " + ini } },
        { "INI file missing", Missing, "", TestVmName, 0x80800002, true, { missing } },
        { "INI file empty", Empty, "", TestVmName, 0x80800002, true, noKeys },
        { "INI file of binary bytes", Binary, BinaryBytes(4096), TestVmName, 0x80800002, true, noKeys },
        { "INI file that is a folder", Folder, "", TestVmName, 0x80800002, true, noKeys },
    };
    for (const Case &c : cases) {
        BeginRow(c.iniText, MachineStatePoweredOff);
        DeleteFileA(ini.c_str());
        if (c.kind == Text || c.kind == Empty || c.kind == Binary)
            WriteTextFile(ini, c.iniText);
        if (c.kind == Folder)
            CreateDirectoryA(ini.c_str(), NULL);
        PutMachineNamed(c.machine);

        SERVICE_STATUS status = RunOnce(service, base + ".exe", ini, c.machine, c.pipeServed, c.row);
        EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState) << c.row;
        EXPECT_EQ(c.specificExitCode != 0 ? 1066u : 0u, status.dwWin32ExitCode) << c.row;
        EXPECT_EQ(c.specificExitCode, status.dwServiceSpecificExitCode) << c.row;
        // The pipe's thread says, at most once, that a long name gets no pipe;
        // a service that fails at once may end before it has said so.
        std::vector<std::string> logged = LogMessages();
        size_t pipeLines = logged.size();
        logged.erase(std::remove_if(logged.begin(), logged.end(),
                                    [](const std::string &line) { return line.compare(0, 15, "ERROR: VmName '") == 0; }),
                     logged.end());
        EXPECT_LE(pipeLines - logged.size(), 1u) << c.row;
        EXPECT_EQ(Sorted(c.lines), Sorted(logged)) << c.row;
        EXPECT_EQ(0u, HeadlessRunning()) << c.row;
        if (c.specificExitCode == 0x80800002) {
            std::string output;
            EXPECT_EQ(1, RunProgram(Quote(folder + base + ".exe") + " -i", &output)) << c.row;
            EXPECT_NE(std::string::npos, output.find("Configuration is not complete.")) << c.row;
        }
        EXPECT_EQ(c.iniText, ReadTextFile(ini)) << c.row;
        DWORD attributes = GetFileAttributesA(ini.c_str());
        EXPECT_EQ(c.kind == Folder, attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) << c.row;
        RemoveDirectoryA(ini.c_str());
    }
}

// Blanks and letters outside ASCII in the program's, the INI file's and the
// VirtualBox folder's paths, in the service's name and in the machine's; and
// a program path of the greatest length Windows starts. The service runs its
// machine and answers its pipe, and the tray helper finds it and asks it.
TEST_F(LimitTest, NamesAndPathsWithBlanksAndLettersOutsideAsciiAndOfTheGreatestLength)
{
    std::string accented = folder + "J\xFCrgen M\xFCller's VMs\\";
    CreateDirectoryA(accented.c_str(), NULL);
    CreateDirectoryA((folder + "long").c_str(), NULL);
    std::string longFolder = FolderForPathOf(folder + "long\\", 259, "Longest.exe");
    std::string display32k(32768, 'n');
    struct Case {
        const char *row;
        std::string folder, base, vmName, install, display;
        std::string serviceName, shown;  // its name and display name as registered
        int trayState;                   // the tray takes a ConfigFile of at most 258 characters
    } cases[] = {
        { "blanks and letters outside ASCII", accented, "Maschine f\xFCr Tests", "B\xFCro-Server \xC4\xD6\xDC \xDF",
          MakeInstallFolder(accented + "VirtualBox \xC4"), "J\xFCrgens Maschine", "Maschine_f\xFCr_Tests",
          "J\xFCrgens Maschine", Running },
        { "program path of 259 characters, ServiceName of 32 KiB", longFolder, "Longest", TestVmName, installPath,
          display32k, "Longest", display32k.substr(0, 254), ConfigNotFound },
    };
    for (const Case &c : cases) {
        ASSERT_EQ(1, StandinReset());
        // The server's home is the folder too (with no trailing separator): no warning.
        ASSERT_EQ(1, StandinSetServerInfo(NULL, c.folder.substr(0, c.folder.size() - 1).c_str()));
        PutMachineNamed(c.vmName);
        std::string text = "[Pelorin]\r\nVboxInstallPath=" + c.install + "\r\nVboxUserHome=" + c.folder +
                           "\r\nVmName=" + c.vmName + "\r\nServiceName=" + c.display + "\r\nLoglevel=2\r\n";
        ASSERT_EQ(c.serviceName, InstallPelorinCopy(c.folder, c.base, text)) << c.row;
        EXPECT_EQ(c.shown, ServiceDisplayName(c.serviceName)) << c.row;
        std::string copyIni = c.folder + c.base + ".ini";

        // The tray lists the service by its INI file and, while it runs, asks it.
        UseTrayFolder(folder);
        WriteTextFile(folder + "pelorintray.ini", "[" + c.base + "]\r\nConfigFile=" + copyIni + "\r\n");
        ASSERT_EQ(PollSucceeded, LoadServiceList()) << c.row;
        ASSERT_EQ(1, TrayEntryCount) << c.row;
        DWORD started = StartServiceByName(c.serviceName);
        EXPECT_TRUE(started == 0 || started == ERROR_SERVICE_REQUEST_TIMEOUT) << c.row;
        ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(c.serviceName, SERVICE_RUNNING, 30000)) << c.row;
        EXPECT_EQ(MachineStateRunning, WaitForMachineRunning(c.vmName)) << c.row;
        EXPECT_EQ(PollSucceeded, PollServices()) << c.row;
        EXPECT_EQ(c.trayState, TrayEntries[0].State) << c.row;
        if (c.trayState == Running) {
            EXPECT_EQ(c.vmName, TrayEntries[0].VmName) << c.row;
            EXPECT_EQ(c.serviceName, TrayEntries[0].ServiceName) << c.row;
            EXPECT_EQ(1, RequestVrdeEnabled(TrayEntries[0].VmName)) << c.row;
        }
        EXPECT_EQ(3389u, AskControlPipe(c.vmName, VrdePort)) << c.row;
        FreeServiceList();

        DWORD process = ServiceProcessId(c.serviceName);
        EXPECT_EQ(0u, StopServiceByName(c.serviceName)) << c.row;
        EXPECT_EQ((DWORD)SERVICE_STOPPED, WaitForServiceState(c.serviceName, SERVICE_STOPPED, 30000)) << c.row;
        WaitForProcessEnd(process, 30000);
        std::string log = ReadTextFile(c.folder + c.base + ".log");
        // Wine 8 refuses SERVICE_CONFIG_FAILURE_ACTIONS_FLAG with ERROR_INVALID_PARAMETER.
        std::vector<std::string> lines = JoinLines({ "ERROR setting the service's recovery actions for stops with an error (0x00000057)",
                                                     "Service " + c.shown + " (" + c.serviceName + ") installed successfully." },
                                                   Named(JoinLines(StartLineFormats, StopLineFormats), c.vmName));
        std::string expected;
        for (const std::string &line : lines)
            expected += line + "\n";
        std::string logged;
        for (size_t at = 0; (at = log.find("] ", at)) != std::string::npos; at = log.find('\n', at) + 1)
            logged += log.substr(at + 2, log.find('\r', at) - at - 2) + "\n";
        EXPECT_EQ(expected, logged) << c.row;
        EXPECT_TRUE(MalformedLogLines(log).empty()) << c.row;
        EXPECT_EQ(text, ReadTextFile(copyIni)) << c.row;
        RemovePelorinCopy(c.serviceName);
    }
}

// The pipe's name holds a machine name of at most 238 characters.
class PipeNameTest : public VboxTest {};

TEST_F(PipeNameTest, AMachineNameOf238CharactersIsServedAndOneOf239IsNot)
{
    for (size_t length : { 238, 239 }) {
        std::string name(length, 'p');
        strcpy(ServiceSettings.VmName, name.c_str());
        DeleteFileA(ServiceSettings.LogPath);
        PipeServerRunning = 1;
        HANDLE server = StartJoinableThread(PipeServerThread);
        // The machine is not known: the pipe answers 0 when it is there, nothing when not.
        DWORD reply = AskControlPipe(name, VrdeEnabled);
        StopPipeServer();
        EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(server, 10000)) << length;
        CloseHandle(server);
        EXPECT_EQ(length == 238 ? 0u : ~0u, reply) << length;
        std::vector<std::string> lines = LogMessages();
        EXPECT_EQ(length == 238 ? 0 : 1, std::count_if(lines.begin(), lines.end(), [](const std::string &line) {
            return line.compare(0, 15, "ERROR: VmName '") == 0;
        })) << length;
    }
}

// The tray helper's own INI file, and the service INI files it names, at and
// past their limits: each gives a defined entry or none.
TEST(TrayLimitTest, TraySettingsAtAndPastTheirLimits)
{
    enum Kind { Text, Folder };
    std::string folder = MakeTestFolder("tray limits");
    UseTrayFolder(folder);
    std::string tray = folder + "pelorintray.ini";
    CreateDirectoryA((folder + "at").c_str(), NULL);
    CreateDirectoryA((folder + "past").c_str(), NULL);
    std::string at = FolderForPathOf(folder + "at\\", 258, "Web Server.ini") + "Web Server.ini";
    std::string past = FolderForPathOf(folder + "past\\", 259, "Web Server.ini") + "Web Server.ini";
    for (const std::string &path : { at, past })
        WriteTextFile(path, ServiceIni("Web Server"));
    std::string odd = folder + "odd\\";
    CreateDirectoryA(odd.c_str(), NULL);
    WriteTextFile(odd + "empty.ini", "");
    WriteTextFile(odd + "binary.ini", BinaryBytes(4096));
    CreateDirectoryA((odd + "folder.ini").c_str(), NULL);
    std::string longName(32768, 's');
    struct Case {
        const char *row;
        Kind kind;
        std::string text;
        int count;
        int state;  // of the first entry
        std::string label, serviceName;
    } cases[] = {
        { "tray INI empty", Text, "", 0, 0, "", "" },
        { "tray INI that is a folder", Folder, "", 0, 0, "", "" },
        { "ConfigFile of 258 characters", Text, "[s]\r\nConfigFile=" + at + "\r\n", 1, Undetermined, "Web Server",
          "Web_Server" },
        { "ConfigFile of 259 characters", Text, "[s]\r\nConfigFile=" + past + "\r\n", 1, ConfigNotFound, "s", "" },
        { "ConfigFile of 32 KiB", Text, "[s]\r\nConfigFile=C:\\" + longName + "\r\n", 1, ConfigNotFound, "s", "" },
        { "section name of 32 KiB", Text, "[" + longName + "]\r\nConfigFile=" + at + "\r\n", 1, NotConfigured,
          longName.substr(0, 127), "" },
        { "service INI empty", Text, "[s]\r\nConfigFile=" + odd + "empty.ini\r\n", 1, NotConfigured, "s", "" },
        { "service INI of binary bytes", Text, "[s]\r\nConfigFile=" + odd + "binary.ini\r\n", 1, NotConfigured, "s",
          "" },
        { "service INI that is a folder", Text, "[s]\r\nConfigFile=" + odd + "folder.ini\r\n", 1, NotConfigured, "s",
          "" },
    };
    for (const Case &c : cases) {
        DeleteFileA(tray.c_str());
        RemoveDirectoryA(tray.c_str());
        if (c.kind == Folder)
            CreateDirectoryA(tray.c_str(), NULL);
        else
            WriteTextFile(tray, c.text);
        EXPECT_EQ(PollSucceeded, LoadServiceList()) << c.row;
        ASSERT_EQ(c.count, TrayEntryCount) << c.row;
        if (c.count > 0) {
            EXPECT_EQ(c.state, TrayEntries[0].State) << c.row;
            EXPECT_EQ(c.label, TrayEntries[0].VmName) << c.row;
            EXPECT_EQ(c.serviceName, TrayEntries[0].ServiceName) << c.row;
        }
    }
    FreeServiceList();
    RemoveDirectoryA(tray.c_str());
}

}  // namespace
