// StartVm through real COM against the stand-in: each machine state, the
// command line and the environment of VBoxHeadless, and every failure.
#include "vbox_fixture.h"

#include "import_hook.h"
#include "log.h"
#include "settings.h"
#include "supervisor.h"
#include "test_support.h"
#include "vbox_session.h"
#include "vm_start.h"

namespace {

std::string JournalValue(const std::string &entry, const std::string &name)
{
    size_t at = entry.find(" " + name + "=");
    if (at == std::string::npos)
        return "<missing>";
    size_t start = at + name.size() + 2;
    if (entry[start] == '"') {
        std::string value;
        for (size_t i = start + 1; i < entry.size() && entry[i] != '"'; i++) {
            if (entry[i] == '\\' && i + 1 < entry.size() && entry[i + 1] == '"')
                i++;
            value += entry[i];
        }
        return value;
    }
    size_t end = entry.find(' ', start);
    return entry.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// What StartVm asked of CreateProcessA. Wine starts the child at normal
// priority whatever the flags say, so the flags are read at the call.
struct CreateProcessCall {
    int calls;
    bool applicationNameGiven;
    BOOL inheritHandles;
    DWORD flags;
    bool environmentGiven;
    bool directoryGiven;
};
CreateProcessCall LastCreateProcess;
typedef BOOL(WINAPI *CreateProcessAFunction)(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                             LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION);
CreateProcessAFunction RealCreateProcessA;

BOOL WINAPI RecordCreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                                 LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                                 LPVOID environment, LPCSTR directory, LPSTARTUPINFOA startup,
                                 LPPROCESS_INFORMATION process)
{
    LastCreateProcess.calls++;
    LastCreateProcess.applicationNameGiven = application != NULL;
    LastCreateProcess.inheritHandles = inheritHandles;
    LastCreateProcess.flags = flags;
    LastCreateProcess.environmentGiven = environment != NULL;
    LastCreateProcess.directoryGiven = directory != NULL;
    return RealCreateProcessA(application, commandLine, processAttributes, threadAttributes, inheritHandles, flags,
                              environment, directory, startup, process);
}

TEST_F(VboxTest, VBoxHeadlessIsStartedWithoutWindowAtTheConfiguredPriority)
{
    struct Case {
        const char *word;
        DWORD priorityClass;
    } cases[] = {
        { "idle", IDLE_PRIORITY_CLASS },
        { "below normal", BELOW_NORMAL_PRIORITY_CLASS },
        { "normal", NORMAL_PRIORITY_CLASS },
        { "above normal", ABOVE_NORMAL_PRIORITY_CLASS },
        { "high", HIGH_PRIORITY_CLASS },
    };
    RealCreateProcessA = (CreateProcessAFunction)ReplaceImport("kernel32.dll", "CreateProcessA", (void *)RecordCreateProcessA);
    ASSERT_NE((void *)NULL, (void *)RealCreateProcessA);
    for (const Case &c : cases) {
        LastCreateProcess = CreateProcessCall();
        ServiceSettings.PriorityClass = c.priorityClass;
        EXPECT_EQ(1, StartOnSupervisorThread()) << c.word;
        EXPECT_EQ(1, LastCreateProcess.calls) << c.word;
        EXPECT_EQ(c.priorityClass | CREATE_NO_WINDOW, LastCreateProcess.flags) << c.word;
        EXPECT_FALSE(LastCreateProcess.inheritHandles) << c.word;
        EXPECT_FALSE(LastCreateProcess.environmentGiven) << c.word;
        EXPECT_FALSE(LastCreateProcess.applicationNameGiven) << c.word;
        EXPECT_FALSE(LastCreateProcess.directoryGiven) << c.word;
        EndHeadless();
        ASSERT_EQ(1, StandinReset());
        PutMachine(MachineStatePoweredOff);
    }
    ReplaceImport("kernel32.dll", "CreateProcessA", (void *)RealCreateProcessA);
}

static HANDLE UnwatchedProcess;

// Replacements of imports keep the Windows calling convention (stdcall in the 32-bit build).
static BOOL WINAPI RefuseToWatch(PHANDLE, HANDLE process, WAITORTIMERCALLBACK, PVOID, ULONG, ULONG)
{
    DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &UnwatchedProcess, SYNCHRONIZE, FALSE, 0);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

// Started but not watched, the machine could never be stopped by the service.
TEST_F(VboxTest, AVBoxHeadlessThatCannotBeWatchedIsEndedBeforeTheFailedStart)
{
    HANDLE &started = UnwatchedProcess;
    started = NULL;
    void *realRegister = ReplaceImport("kernel32.dll", "RegisterWaitForSingleObject", (void *)RefuseToWatch);
    int result = StartOnSupervisorThread();
    ReplaceImport("kernel32.dll", "RegisterWaitForSingleObject", realRegister);
    EXPECT_EQ(0, result);
    EXPECT_TRUE(Logged("ERROR watching VM 'Web Server' (0x00000008)")) << Log();
    ASSERT_NE((HANDLE)NULL, started);
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(started, 0));
    CloseHandle(started);
}

TEST_F(VboxTest, StartsAPoweredOffMachineWithVBoxHeadless)
{
    // No blank in the path: the command line is exactly path, -s, quoted UUID, -v config.
    UseInstallFolder(MakeInstallFolder("C:\\pelorin-vbox"));

    ASSERT_EQ(1, StartOnSupervisorThread());
    ASSERT_NE((HANDLE)NULL, VmProcess.hProcess);
    ASSERT_NE((HANDLE)NULL, VmExitWait);
    EXPECT_EQ(MachineStateRunning, WaitForMachineState(MachineStateRunning));
    StandinMachine machine = {};
    StandinGetMachine(TestVmName, &machine);
    EXPECT_EQ(VmProcess.dwProcessId, machine.sessionPid);

    std::vector<std::string> starts = JournalOf("VBoxHeadless::Start");
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ("C:\\pelorin-vbox\\VBoxHeadless.exe -s \"8c0bb7ae-52b1-4b5c-9b27-0a8c5e3b2f11\" -v config",
              JournalValue(starts[0], "commandLine"));
    // The child inherits the environment that start-up set for VirtualBox.
    EXPECT_NE(std::string::npos,
              starts[0].find(" VBOX_INSTALL_PATH=\"C:\\pelorin-vbox\\\" VBOX_USER_HOME=\"C:\\Users\\vbox\\.VirtualBox\" "))
        << starts[0];
    EXPECT_EQ("0", JournalValue(starts[0], "consoleWindow"));

    EXPECT_TRUE(Logged("Starting VM 'Web Server'")) << Log();
    EXPECT_TRUE(Logged("VM 'Web Server' started")) << Log();

    // The registered wait fires when the machine's process ends.
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(VmExitedEvent, 0));
    TerminateProcess(VmProcess.hProcess, 7);
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(VmExitedEvent, 10000));
}

TEST_F(VboxTest, AnInstallPathWithBlanksIsQuotedInTheCommandLine)
{
    ASSERT_NE(std::string::npos, installPath.find(' '));
    ASSERT_EQ(1, StartOnSupervisorThread());
    // VBoxHeadless journals its start before it attaches.
    EXPECT_EQ(MachineStateRunning, WaitForMachineState(MachineStateRunning));
    std::vector<std::string> starts = JournalOf("VBoxHeadless::Start");
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ("\"" + installPath + "\\VBoxHeadless.exe\" -s \"8c0bb7ae-52b1-4b5c-9b27-0a8c5e3b2f11\" -v config",
              JournalValue(starts[0], "commandLine"));
}

TEST_F(VboxTest, EveryStateThatNeedsAStartLaunchesVBoxHeadless)
{
    const long states[] = { 0, 1, 2, 3, 4, 7, 8, 9, 14, 15, 100 };
    for (long state : states) {
        PutMachine(state);
        EXPECT_EQ(1, StartOnSupervisorThread()) << "state " << state;
        EXPECT_NE((HANDLE)NULL, VmProcess.hProcess) << "state " << state;
        EXPECT_EQ(MachineStateRunning, WaitForMachineState(MachineStateRunning)) << "state " << state;
        EndHeadless();
    }
    EXPECT_EQ(sizeof(states) / sizeof(states[0]), JournalOf("VBoxHeadless::Start").size());
}

TEST_F(VboxTest, ARunningMachineIsAdoptedAndItsSessionProcessWatched)
{
    const long states[] = { MachineStateRunning, MachineStatePaused, MachineStateStarting, MachineStateRestoring };
    for (long state : states) {
        // Some process holds the machine's session: a VBoxHeadless started by VirtualBox itself.
        PROCESS_INFORMATION holder;
        ASSERT_TRUE(StartProgram(Quote(BuiltProgramPath("keepalive.exe")), &holder));
        PutMachine(state, holder.dwProcessId);
        DeleteFileA(ServiceSettings.LogPath);

        EXPECT_EQ(1, StartOnSupervisorThread()) << "state " << state;
        EXPECT_EQ((HANDLE)NULL, VmProcess.hProcess);
        EXPECT_TRUE(Logged("VM 'Web Server' is already running (pid=" + std::to_string(holder.dwProcessId) +
                           "), using existing session")) << Log();
        EXPECT_FALSE(Logged("Starting VM 'Web Server'"));

        TerminateProcess(holder.hProcess, 0);
        EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(VmExitedEvent, 10000)) << "state " << state;
        CloseHandle(holder.hThread);
        CloseHandle(holder.hProcess);
        EndHeadless();
    }
    EXPECT_EQ(0u, JournalOf("VBoxHeadless::Start").size());
}

TEST_F(VboxTest, AMachineThatIsStoppingOrSavingIsRefused)
{
    const long states[] = { MachineStateStopping, MachineStateSaving };
    for (long state : states) {
        PutMachine(state);
        DeleteFileA(ServiceSettings.LogPath);
        EXPECT_EQ(0, StartOnSupervisorThread()) << "state " << state;
        EXPECT_TRUE(Logged("ERROR starting VM 'Web Server' because it is stopping")) << Log();
    }
    EXPECT_EQ(0u, JournalOf("VBoxHeadless::Start").size());
    EXPECT_EQ((HANDLE)NULL, VmExitWait);
}

TEST_F(VboxTest, AnAdoptedMachineWithoutAWatchableProcessIsAFailedStart)
{
    PutMachine(MachineStateRunning, 0);
    EXPECT_EQ(0, StartOnSupervisorThread());
    EXPECT_TRUE(Logged("VM 'Web Server' is already running (pid=0), using existing session")) << Log();
    EXPECT_TRUE(Logged("ERROR watching VM 'Web Server': VirtualBox names no session process")) << Log();

    // Nor can a session process that does not exist.
    const DWORD pid = 0x7FFFFFFC;
    PutMachine(MachineStateRunning, pid);
    EXPECT_EQ(0, StartOnSupervisorThread());
    EXPECT_NE(std::string::npos, Log().find("ERROR watching VM 'Web Server': can't open process " + std::to_string(pid)))
        << Log();
    EXPECT_EQ((HANDLE)NULL, VmExitWait);
}

TEST_F(VboxTest, MissingVBoxHeadlessFailsBeforeVirtualBoxIsAsked)
{
    std::string empty = folder + "no VirtualBox here";
    CreateDirectoryA(empty.c_str(), NULL);
    UseInstallFolder(empty);
    ServiceSettings.Loglevel = 2;
    EXPECT_EQ(0, StartOnSupervisorThread());
    std::vector<std::string> expected = {
        "ERROR: Can't find VBoxHeadless executable. Check your VboxInstallPath option in " + folder + "pelorin.ini",
    };
    EXPECT_EQ(expected, LogMessages());
    EXPECT_EQ(0u, JournalOf("IVirtualBox::FindMachine").size());
    EXPECT_EQ(0u, JournalOf("IMachine::").size());
}

TEST_F(VboxTest, StartFailuresAreLoggedAndNothingIsStarted)
{
    struct Case {
        const char *fault;
        long result;
        const char *line;
    } cases[] = {
        { "IVirtualBox::FindMachine", (long)0x80BB0001, "ERROR: Could not find registered VM 'Web Server'" },
        { "IVirtualBox::FindMachine", (long)0x80004005, "ERROR getting virtual machine interface (0x80004005)" },
        { "IMachine::get_State", (long)0x80070057, "ERROR reading VM state (0x80070057)" },
        { "IMachine::get_Id", (long)0x80004005, "ERROR getting machine guid for VM 'Web Server'" },
    };
    for (const Case &c : cases) {
        ASSERT_EQ(1, StandinReset());
        PutMachine(MachineStatePoweredOff);
        ASSERT_EQ(1, StandinSetFault(c.fault, c.result));
        DeleteFileA(ServiceSettings.LogPath);
        EXPECT_EQ(0, StartOnSupervisorThread()) << c.fault;
        EXPECT_TRUE(Logged(c.line)) << Log();
        EXPECT_FALSE(Logged("Starting VM 'Web Server'")) << c.fault;
        EXPECT_EQ(0u, JournalOf("VBoxHeadless::Start").size()) << c.fault;
        EXPECT_EQ((HANDLE)NULL, VmExitWait) << c.fault;
    }
}

TEST_F(VboxTest, AFrontEndThatWillNotRunIsAFailedStart)
{
    // Present, so the check passes, but not a program Windows can start.
    WriteTextFile(installPath + "\\VBoxHeadless.exe", "not a program");
    EXPECT_EQ(0, StartOnSupervisorThread());
    EXPECT_TRUE(Logged("Starting VM 'Web Server'")) << Log();
    EXPECT_NE(std::string::npos, Log().find("] ERROR starting VM 'Web Server' (0x")) << Log();
    EXPECT_FALSE(Logged("VM 'Web Server' started"));
    EXPECT_EQ((HANDLE)NULL, VmProcess.hProcess);
    EXPECT_EQ((HANDLE)NULL, VmExitWait);
}

TEST_F(VboxTest, WithoutAVirtualBoxSessionNothingIsStarted)
{
    ASSERT_EQ(1, StandinSetFault("IVirtualBox::get_Version", (long)0x80004005));
    EXPECT_EQ(0, StartOnSupervisorThread());
    EXPECT_TRUE(Logged("ERROR starting VM 'Web Server': no VirtualBox session")) << Log();
    EXPECT_EQ(0u, JournalOf("VBoxHeadless::Start").size());

    ASSERT_EQ(1, StandinReset());
    PutMachine(MachineStatePoweredOff);
    ASSERT_EQ(1, StandinSetFault("VirtualBox::CreateInstance", (long)0x80080005));
    DeleteFileA(ServiceSettings.LogPath);
    EXPECT_EQ(0, StartOnSupervisorThread());
    EXPECT_TRUE(Logged("ERROR creating VirtualBox instance (rc = 0x80080005)")) << Log();
    EXPECT_EQ(0u, JournalOf("VBoxHeadless::Start").size());
}

} // namespace
