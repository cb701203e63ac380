// A stop's steps through real COM against the stand-in: each method's
// conversation with VirtualBox, the outcome read from the progress, the
// states and guests that refuse a step, every failure, and the one-off key.
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
    "[Notes]\r\n"
    "Owner=operations\r\n";

const char IniWithoutOneOffMethod[] =
    "; Web Server VM\r\n"
    "[Pelorin]\r\n"
    "VmName=Web Server\r\n"
    "ShutdownCommand=savestate\r\n"
    "[Notes]\r\n"
    "Owner=operations\r\n";

class VmStopTest : public VboxTest {
protected:
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
        const char *prefixes[] = { "IMachine::", "ISession::", "IConsole::", "IProgress::" };
        for (size_t i = from; i < entries.size(); i++) {
            for (const char *prefix : prefixes) {
                if (entries[i].compare(0, strlen(prefix), prefix) == 0)
                    conversation.push_back(entries[i]);
            }
        }
        return conversation;
    }
};

const std::vector<std::string> Locked = {
    "IMachine::get_State machine=\"Web Server\"", "IMachine::get_Id machine=\"Web Server\"",
    "IMachine::LockMachine machine=\"Web Server\" lockType=1", "ISession::get_Console",
};

// Each method, as VirtualBox's own clients make it: the state first, a button
// only for a guest that listens, a progress waited for within the bound and
// judged by its ResultCode.
TEST_F(VmStopTest, EachMethodIsOneConversationJudgedByWhatVirtualBoxReports)
{
    struct Row {
        const char *word;
        StopMethod method;
        const char *guest;      // the guest's behaviour
        long outcome;           // the ResultCode of the method's progress
        StepOutcome step;
        std::vector<std::string> conversation;  // after the lock
        long endState;          // -1: still running
        const char *line;
    } rows[] = {
        { "poweroff", StopMethodPowerOff, "normal", 0, StepCarriedOut,
          { "IConsole::PowerDown machine=\"Web Server\"", "IProgress::WaitForCompletion machine=\"Web Server\" timeout=60000",
            "IProgress::get_Completed machine=\"Web Server\"", "IProgress::get_ResultCode machine=\"Web Server\"" },
          MachineStatePoweredOff, NULL },
        { "SaveState", StopMethodSaveState, "normal", (long)0x80BB0005, StepRefused,
          { "IConsole::SaveState machine=\"Web Server\"", "IProgress::WaitForCompletion machine=\"Web Server\" timeout=60000",
            "IProgress::get_Completed machine=\"Web Server\"", "IProgress::get_ResultCode machine=\"Web Server\"" },
          MachineStatePaused, "ERROR stopping (SaveState) VM 'Web Server' (0x80bb0005)" },
        { "acpipowerbutton", StopMethodAcpiPowerButton, "ignores-acpi", 0, StepSignalled,
          { "IConsole::GetGuestEnteredACPIMode machine=\"Web Server\"", "IConsole::PowerButton machine=\"Web Server\"" },
          -1, "VM 'Web Server' was sent a stop signal (acpipowerbutton)" },
        { "acpisleepbutton", StopMethodAcpiSleepButton, "no-acpi", 0, StepNoAcpi,
          { "IConsole::GetGuestEnteredACPIMode machine=\"Web Server\"" }, -1, NULL },
    };
    for (const Row &row : rows) {
        ASSERT_EQ(1, StandinReset());
        PutMachine(MachineStatePoweredOff);
        ASSERT_EQ(1, StandinSetGuest(TestVmName, row.guest));
        ASSERT_EQ(1, StandinSetOutcome("IConsole::SaveState", row.outcome));
        StepResult step = {};
        size_t before = 0;
        WithRunningMachine([&] {
            before = Journal().size();
            StopVmWith(TestVmName, row.word, row.method, 60000, &step);
        });
        EXPECT_EQ(row.step, step.outcome) << row.word;
        std::vector<std::string> expected = JoinLines(Locked, row.conversation);
        expected.push_back("ISession::UnlockMachine");
        EXPECT_EQ(expected, StopConversation(before)) << row.word;
        EXPECT_EQ(row.endState < 0 ? (long)MachineStateRunning : row.endState, MachineState()) << row.word;
        if (row.line != NULL) {
            EXPECT_TRUE(Logged(row.line)) << row.word << Log();
        }
        EndHeadless();
    }
}

// A machine that cannot take a method is left alone: nothing is locked, and
// the step says what it found.
TEST_F(VmStopTest, AMachineInAStateThatRefusesTheMethodIsNotTouched)
{
    const struct {
        long state;
        StopMethod method;
        MachineCondition found;
    } rows[] = {
        { MachineStatePaused, StopMethodAcpiPowerButton, MachinePaused },
        { MachineStateStuck, StopMethodSaveState, MachineStuck },
        { MachineStateSaving, StopMethodPowerOff, MachineSaving },
        { MachineStateStarting, StopMethodAcpiSleepButton, MachineComingUp },
        { MachineStatePoweredOff, StopMethodPowerOff, MachinePoweredOff },
    };
    for (const auto &row : rows) {
        ASSERT_EQ(1, StandinReset());
        PutMachine(row.state);
        StepResult step = {};
        RunOnSupervisorThread([&] {
            ASSERT_EQ(S_OK, OpenVirtualBox());
            StopVmWith(TestVmName, "x", row.method, 60000, &step);
            CloseVirtualBox();
        });
        EXPECT_EQ(StepWrongState, step.outcome) << row.state;
        EXPECT_EQ(row.found, step.condition) << row.state;
        EXPECT_EQ(0u, JournalOf("IMachine::LockMachine").size()) << row.state;
    }
}

TEST_F(VmStopTest, EachFailureIsLoggedAndTheStepEndsThere)
{
    struct Case {
        const char *fault;
        long result;
        StepOutcome outcome;
        const char *line;
        size_t calls;  // of the conversation, the lock's included
    } cases[] = {
        { "IVirtualBox::FindMachine", (long)0x80BB0001, StepUnreachable, "ERROR: Could not find registered VM 'Web Server'", 0 },
        { "IMachine::get_Id", (long)0x80004005, StepUnreachable, "ERROR retrieving machine ID (0x80004005)", 2 },
        { "IMachine::LockMachine", (long)0x80BB0007, StepUnreachable, "ERROR opening session (0x80bb0007)", 3 },
        { "ISession::get_Console", (long)0x8000FFFF, StepUnreachable, "ERROR getting console (0x8000ffff)", 5 },
        { "IConsole::PowerDown", (long)0x80BB0003, StepRefused, "ERROR stopping VM 'Web Server' (0x80bb0003)", 6 },
        { "IProgress::WaitForCompletion", (long)0x80004005, StepRefused,
          "ERROR stopping (poweroff) VM 'Web Server' (0x80004005)", 7 },
    };
    for (const Case &c : cases) {
        ASSERT_EQ(1, StandinReset());
        PutMachine(MachineStatePoweredOff);
        StepResult step = {};
        size_t before = 0;
        WithRunningMachine([&] {
            ASSERT_EQ(1, StandinSetFault(c.fault, c.result));
            before = Journal().size();
            StopVmWith(TestVmName, "poweroff", StopMethodPowerOff, 60000, &step);
            StandinSetFault(c.fault, 0);
        });
        EXPECT_EQ(c.outcome, step.outcome) << c.fault;
        EXPECT_EQ((HRESULT)c.result, step.error) << c.fault;
        EXPECT_TRUE(Logged(c.line)) << c.fault << "\n" << Log();
        EXPECT_EQ(c.calls, StopConversation(before).size()) << c.fault;
        EndHeadless();
    }
}

// A profile writer that deletes nothing: it refuses, or it answers success.
static BOOL ProfileWriteAnswer;
static BOOL WINAPI KeepProfileKey(LPCSTR, LPCSTR, LPCSTR, LPCSTR)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return ProfileWriteAnswer;
}

// The one-off method is used once: deleted, and nothing else of the file
// changed; one that stays in the file would apply to every later stop, and
// that is logged.
TEST_F(VmStopTest, TheOneOffMethodIsDeletedOrItsStayIsLogged)
{
    const struct {
        bool hooked;
        BOOL answer;
        const char *left;
        const char *error;  // NULL: nothing logged
    } rows[] = {
        { false, TRUE, IniWithoutOneOffMethod, NULL },
        { true, FALSE, IniWithOneOffMethod, "0x00000005" },
        { true, TRUE, IniWithOneOffMethod, "0x00000000" },
    };
    for (const auto &row : rows) {
        WriteTextFile(ServiceSettings.LogPath, "");
        WriteTextFile(ServiceSettings.IniPath, IniWithOneOffMethod);
        ProfileWriteAnswer = row.answer;
        void *real = row.hooked ? ReplaceImport("kernel32.dll", "WritePrivateProfileStringA", (void *)KeepProfileKey) : NULL;
        RemoveShutdownOnceCommand();
        if (row.hooked)
            ReplaceImport("kernel32.dll", "WritePrivateProfileStringA", real);
        EXPECT_EQ(row.left, ReadTextFile(ServiceSettings.IniPath)) << row.answer;
        std::string line = std::string("ERROR removing ShutdownOnceCommand from '") + ServiceSettings.IniPath + "' (" +
                           (row.error != NULL ? row.error : "") + "); it applies to the next stop too";
        EXPECT_EQ(row.error != NULL, Logged(line)) << Log();
    }
}

} // namespace
