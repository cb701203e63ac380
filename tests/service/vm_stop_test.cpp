// StopVm through real COM against the stand-in: each stop method with its
// console call and wait, the one-off key, and every failure.
#include "vbox_fixture.h"

#include "import_hook.h"
#include "log.h"
#include "settings.h"
#include "supervisor.h"
#include "test_support.h"
#include "vbox_session.h"
#include "vm_start.h"
#include "vm_stop.h"

namespace {

// Wine's profile writer drops blank lines between sections; Windows keeps them.
// The files here have none, so that only the key's own line may go.
const char IniWithOneOffMethod[] =
    "; Web Server VM\r\n"
    "[Pelorin]\r\n"
    "VmName=Web Server\r\n"
    "ShutdownCommand=savestate\r\n"
    "ShutdownOnceCommand=acpipowerbutton\r\n"
    "MaxWaitTimeout=60000\r\n"
    "[Notes]\r\n"
    "Owner=operations\r\n";

const char IniWithoutOneOffMethod[] =
    "; Web Server VM\r\n"
    "[Pelorin]\r\n"
    "VmName=Web Server\r\n"
    "ShutdownCommand=savestate\r\n"
    "MaxWaitTimeout=60000\r\n"
    "[Notes]\r\n"
    "Owner=operations\r\n";

class VmStopTest : public VboxTest {
protected:
    void UseMethod(const char *word, StopMethod method)
    {
        strcpy(ServiceSettings.ShutdownCommand, word);
        ServiceSettings.StopMethod = method;
    }

    // Starts the machine on a supervisor thread, runs the steps there while it
    // runs, and closes the connection afterwards.
    void WithRunningMachine(const std::function<void()> &steps)
    {
        RunOnSupervisorThread([&] {
            ASSERT_EQ(S_OK, OpenVirtualBox());
            ASSERT_EQ(1, StartVm(TestVmName));
            ASSERT_EQ(MachineStateRunning, WaitForMachineState(MachineStateRunning));
            steps();
            CloseVirtualBox();
        });
    }

    // Journal entries of the stop conversation, from the given position on.
    std::vector<std::string> StopConversation(size_t from = 0)
    {
        std::vector<std::string> entries = Journal();
        std::vector<std::string> conversation;
        const char *prefixes[] = { "IMachine::LockMachine", "IMachine::get_Id", "ISession::", "IConsole::", "IProgress::" };
        for (size_t i = from; i < entries.size(); i++) {
            for (const char *prefix : prefixes) {
                if (entries[i].compare(0, strlen(prefix), prefix) == 0)
                    conversation.push_back(entries[i]);
            }
        }
        return conversation;
    }
};

TEST_F(VmStopTest, PowerOffWaitsUntilTheMachineProcessHasEnded)
{
    ASSERT_EQ(1, StandinSetDelay("PowerDown", 300));
    size_t before = 0;
    DWORD endedWhenStopReturned = WAIT_TIMEOUT;
    WithRunningMachine([&] {
        before = Journal().size();
        StopVm(TestVmName);
        endedWhenStopReturned = WaitForSingleObject(VmProcess.hProcess, 0);
    });
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, endedWhenStopReturned);
    DWORD exitCode = 1;
    GetExitCodeProcess(VmProcess.hProcess, &exitCode);
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(S_OK, StopResult);
    EXPECT_EQ(MachineStatePoweredOff, MachineState());
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(VmExitedEvent, 10000));

    std::vector<std::string> expected = {
        "IMachine::get_Id machine=\"Web Server\"",
        "IMachine::LockMachine machine=\"Web Server\" lockType=1",
        "ISession::get_Console",
        "IConsole::PowerDown machine=\"Web Server\"",
        "IProgress::WaitForCompletion machine=\"Web Server\" timeout=-1",
        "ISession::UnlockMachine",
    };
    EXPECT_EQ(expected, StopConversation(before));
    EXPECT_TRUE(Logged("Stopping (poweroff) VM 'Web Server'")) << Log();
    EXPECT_EQ(std::string::npos, Log().find("stop signal"));
    EXPECT_EQ(std::string::npos, Log().find("ERROR"));
}

TEST_F(VmStopTest, SaveStateKeepsTheMethodWordAsWritten)
{
    UseMethod("SaveState", StopMethodSaveState);
    size_t before = 0;
    WithRunningMachine([&] {
        before = Journal().size();
        StopVm(TestVmName);
    });
    EXPECT_EQ(MachineStateSaved, MachineState());
    EXPECT_EQ(S_OK, StopResult);
    std::vector<std::string> conversation = StopConversation(before);
    ASSERT_EQ(6u, conversation.size());
    EXPECT_EQ("IConsole::SaveState machine=\"Web Server\"", conversation[3]);
    EXPECT_EQ("IProgress::WaitForCompletion machine=\"Web Server\" timeout=-1", conversation[4]);
    EXPECT_TRUE(Logged("Stopping (SaveState) VM 'Web Server'")) << Log();
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(VmExitedEvent, 10000));
}

TEST_F(VmStopTest, AcpiPowerButtonIsASignalAndTheGuestEndsLater)
{
    UseMethod("acpipowerbutton", StopMethodAcpiPowerButton);
    ASSERT_EQ(1, StandinSetDelay("PowerButton", 500));
    StopResult = (HRESULT)0x1234;
    size_t before = 0;
    WithRunningMachine([&] {
        before = Journal().size();
        StopVm(TestVmName);
    });
    std::vector<std::string> expected = {
        "IMachine::get_Id machine=\"Web Server\"",
        "IMachine::LockMachine machine=\"Web Server\" lockType=1",
        "ISession::get_Console",
        "IConsole::PowerButton machine=\"Web Server\"",
        "ISession::UnlockMachine",
    };
    EXPECT_EQ(expected, StopConversation(before));
    EXPECT_EQ((HRESULT)0x1234, StopResult);
    std::vector<std::string> stopLines;
    for (const std::string &line : LogMessages()) {
        if (line.find("top") != std::string::npos)
            stopLines.push_back(line);
    }
    std::vector<std::string> expectedLines = {
        "Stopping (acpipowerbutton) VM 'Web Server'",
        "VM 'Web Server' was sent a stop signal (acpipowerbutton)",
    };
    EXPECT_EQ(expectedLines, stopLines);
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(VmExitedEvent, 10000));
    // The stand-in records the state once it has seen the process end.
    EXPECT_EQ(MachineStatePoweredOff, WaitForMachineState(MachineStatePoweredOff));
}

TEST_F(VmStopTest, AcpiSleepButtonThatTheGuestIgnoresLeavesTheMachineRunning)
{
    UseMethod("AcpiSleepButton", StopMethodAcpiSleepButton);
    ASSERT_EQ(1, StandinSetDelay("SleepButton", -1));
    WithRunningMachine([&] { StopVm(TestVmName); });
    EXPECT_TRUE(Logged("VM 'Web Server' was sent a stop signal (AcpiSleepButton)")) << Log();
    EXPECT_EQ(1u, JournalOf("IConsole::SleepButton").size());
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(VmExitedEvent, 500));
    EXPECT_EQ(MachineStateRunning, MachineState());
}

TEST_F(VmStopTest, TheOneOffMethodIsDeletedInEveryCaseAndNothingElseChanges)
{
    // Found and stopped; not registered; no connection at all.
    WriteTextFile(ServiceSettings.IniPath, IniWithOneOffMethod);
    WithRunningMachine([&] { StopVm(TestVmName); });
    EXPECT_EQ(IniWithoutOneOffMethod, ReadTextFile(ServiceSettings.IniPath));

    WriteTextFile(ServiceSettings.IniPath, IniWithOneOffMethod);
    RunOnSupervisorThread([&] {
        OpenVirtualBox();
        StopVm("Not Registered");
        CloseVirtualBox();
    });
    EXPECT_EQ(IniWithoutOneOffMethod, ReadTextFile(ServiceSettings.IniPath));
    EXPECT_TRUE(Logged("ERROR: Could not find registered VM 'Not Registered'")) << Log();

    WriteTextFile(ServiceSettings.IniPath, IniWithOneOffMethod);
    ASSERT_EQ(1, StandinSetFault("VirtualBox::CreateInstance", (long)0x80080005));
    RunOnSupervisorThread([&] {
        OpenVirtualBox();
        StopVm(TestVmName);
        CloseVirtualBox();
    });
    EXPECT_EQ(IniWithoutOneOffMethod, ReadTextFile(ServiceSettings.IniPath));
}

// A profile writer that deletes nothing: it refuses, or it answers success.
static BOOL ProfileWriteAnswer;
static BOOL WINAPI KeepProfileKey(LPCSTR, LPCSTR, LPCSTR, LPCSTR)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return ProfileWriteAnswer;
}

// A one-off method that stays in the file would apply to every later stop:
// that is logged, and this stop goes on with it.
TEST_F(VmStopTest, AOneOffMethodThatCannotBeRemovedIsLoggedAndTheStopGoesOn)
{
    const struct {
        BOOL answer;
        const char *error;
    } rows[] = { { FALSE, "0x00000005" }, { TRUE, "0x00000000" } };
    for (const auto &row : rows) {
        WriteTextFile(ServiceSettings.LogPath, "");
        WriteTextFile(ServiceSettings.IniPath, IniWithOneOffMethod);
        UseMethod("acpipowerbutton", StopMethodAcpiPowerButton);
        ProfileWriteAnswer = row.answer;
        void *real = ReplaceImport("kernel32.dll", "WritePrivateProfileStringA", (void *)KeepProfileKey);
        ASSERT_NE((void *)NULL, real);
        enum StopOutcome outcome = StopCarriedOut;
        WithRunningMachine([&] { outcome = StopVm(TestVmName); });
        ReplaceImport("kernel32.dll", "WritePrivateProfileStringA", real);
        EXPECT_EQ(StopSignalled, outcome) << row.error;
        EXPECT_EQ(IniWithOneOffMethod, ReadTextFile(ServiceSettings.IniPath)) << row.error;
        EXPECT_TRUE(Logged(std::string("ERROR removing ShutdownOnceCommand from '") + ServiceSettings.IniPath + "' (" +
                           row.error + "); it applies to the next stop too"))
            << Log();
    }
    // Removed, or never there: nothing to say.
    WriteTextFile(ServiceSettings.LogPath, "");
    for (const char *text : { IniWithOneOffMethod, IniWithoutOneOffMethod }) {
        WriteTextFile(ServiceSettings.IniPath, text);
        WithRunningMachine([&] { StopVm(TestVmName); });
    }
    EXPECT_EQ(std::string::npos, Log().find("ERROR removing")) << Log();
}

TEST_F(VmStopTest, EachFailureIsLoggedAndTheStopGoesNoFurther)
{
    struct Case {
        const char *fault;
        long result;
        const char *line;
        std::vector<std::string> conversation;
    } cases[] = {
        { "IVirtualBox::FindMachine", (long)0x80BB0001, "ERROR: Could not find registered VM 'Web Server'", {} },
        { "IMachine::get_Id", (long)0x80004005, "ERROR retrieving machine ID (0x80004005)",
          { "IMachine::get_Id machine=\"Web Server\" result=0x80004005" } },
        { "IMachine::LockMachine", (long)0x80BB0007, "ERROR opening session (0x80bb0007)",
          { "IMachine::get_Id machine=\"Web Server\"",
            "IMachine::LockMachine machine=\"Web Server\" lockType=1 result=0x80bb0007" } },
        { "ISession::get_Console", (long)0x8000FFFF, "ERROR getting console (0x8000ffff)",
          { "IMachine::get_Id machine=\"Web Server\"", "IMachine::LockMachine machine=\"Web Server\" lockType=1",
            "ISession::get_Console result=0x8000ffff", "ISession::UnlockMachine" } },
        { "IConsole::PowerDown", (long)0x80BB0003, "ERROR stopping VM 'Web Server' (0x80bb0003)",
          { "IMachine::get_Id machine=\"Web Server\"", "IMachine::LockMachine machine=\"Web Server\" lockType=1",
            "ISession::get_Console", "IConsole::PowerDown machine=\"Web Server\" result=0x80bb0003",
            "ISession::UnlockMachine" } },
    };
    StopResult = (HRESULT)0x1234;
    WithRunningMachine([&] {
        for (const Case &c : cases) {
            ASSERT_EQ(1, StandinSetFault(c.fault, c.result));
            WriteTextFile(ServiceSettings.IniPath, IniWithOneOffMethod);
            size_t before = Journal().size();
            StopVm(TestVmName);
            StandinSetFault(c.fault, 0);

            EXPECT_TRUE(Logged(c.line)) << c.fault << "\n" << Log();
            EXPECT_EQ(c.conversation, StopConversation(before)) << c.fault;
            EXPECT_EQ(IniWithoutOneOffMethod, ReadTextFile(ServiceSettings.IniPath)) << c.fault;
            EXPECT_EQ((HRESULT)0x1234, StopResult) << c.fault;
            EXPECT_EQ(MachineStateRunning, MachineState()) << c.fault;
        }

        // The power-off goes through but waiting for it fails: the code is kept for the supervisor.
        ASSERT_EQ(1, StandinSetFault("IProgress::WaitForCompletion", (long)0x80004005));
        StopVm(TestVmName);
    });
    EXPECT_TRUE(Logged("ERROR stopping (poweroff) VM 'Web Server' (0x80004005)")) << Log();
    EXPECT_EQ((HRESULT)0x80004005, StopResult);
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(VmExitedEvent, 10000));
}

} // namespace
