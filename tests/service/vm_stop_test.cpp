// A stop's step through real COM against the stand-in: each stop method with its
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

// The lock, and the calls of a power-off or a save: waited for within the
// bound and judged by the progress's ResultCode.
const std::vector<std::string> Locked = {
    "IMachine::get_State machine=\"Web Server\"", "IMachine::get_Id machine=\"Web Server\"",
    "IMachine::LockMachine machine=\"Web Server\" lockType=1", "ISession::get_Console",
};
std::vector<std::string> Awaited(const std::string &call)
{
    return { "IConsole::" + call + " machine=\"Web Server\"",
             "IProgress::WaitForCompletion machine=\"Web Server\" timeout=60000",
             "IProgress::get_Completed machine=\"Web Server\"", "IProgress::get_ResultCode machine=\"Web Server\"" };
}
const char AcpiMode[] = "IConsole::GetGuestEnteredACPIMode machine=\"Web Server\"";

// Each method, as VirtualBox's own clients make it: the state first, and a
// button only for a guest that listens.
TEST_F(VmStopTest, EachMethodIsOneConversationJudgedByWhatVirtualBoxReports)
{
    struct Row {
        const char *word;
        StopMethod method;
        const char *guest;
        StepOutcome step;
        std::vector<std::string> conversation;  // after the lock
    } rows[] = {
        { "poweroff", StopMethodPowerOff, "normal", StepCarriedOut, Awaited("PowerDown") },
        { "SaveState", StopMethodSaveState, "normal", StepRefused, Awaited("SaveState") },
        { "acpipowerbutton", StopMethodAcpiPowerButton, "ignores-acpi", StepSignalled,
          { AcpiMode, "IConsole::PowerButton machine=\"Web Server\"" } },
        { "acpisleepbutton", StopMethodAcpiSleepButton, "no-acpi", StepNoAcpi, { AcpiMode } },
    };
    // The save fails: it is the operation's outcome that tells.
    ASSERT_EQ(1, StandinSetOutcome("IConsole::SaveState", (long)0x80BB0005));
    for (const Row &row : rows) {
        PutMachine(MachineStatePoweredOff);
        ASSERT_EQ(1, StandinSetGuest(TestVmName, row.guest));
        StepResult step = {};
        size_t before = 0;
        WithRunningMachine([&] {
            before = Journal().size();
            StopVmWith(TestVmName, row.word, row.method, 60000, &step);
        });
        EXPECT_EQ(row.step, step.outcome) << row.word;
        std::vector<std::string> expected = JoinLines(JoinLines(Locked, row.conversation), { "ISession::UnlockMachine" });
        EXPECT_EQ(expected, StopConversation(before)) << row.word;
        EndHeadless();
    }
}

// The machine stays running through every failure but the last.
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
    WithRunningMachine([&] {
        for (const Case &c : cases) {
            ASSERT_EQ(1, StandinSetFault(c.fault, c.result));
            size_t before = Journal().size();
            StepResult step = {};
            StopVmWith(TestVmName, "poweroff", StopMethodPowerOff, 60000, &step);
            StandinSetFault(c.fault, 0);
            EXPECT_EQ(c.outcome, step.outcome) << c.fault;
            EXPECT_EQ((HRESULT)c.result, step.error) << c.fault;
            EXPECT_TRUE(Logged(c.line)) << c.fault << "\n" << Log();
            EXPECT_EQ(c.calls, StopConversation(before).size()) << c.fault;
        }
    });
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
        BOOL answer;
        const char *error;  // NULL: the real profile writer, and nothing logged
    } rows[] = { { TRUE, NULL }, { FALSE, "0x00000005" }, { TRUE, "0x00000000" } };
    for (const auto &row : rows) {
        WriteTextFile(ServiceSettings.LogPath, "");
        WriteTextFile(ServiceSettings.IniPath, IniWithOneOffMethod);
        ProfileWriteAnswer = row.answer;
        void *real = row.error ? ReplaceImport("kernel32.dll", "WritePrivateProfileStringA", (void *)KeepProfileKey) : NULL;
        RemoveShutdownOnceCommand();
        if (real != NULL)
            ReplaceImport("kernel32.dll", "WritePrivateProfileStringA", real);
        EXPECT_EQ(row.error ? IniWithOneOffMethod : IniWithoutOneOffMethod, ReadTextFile(ServiceSettings.IniPath));
        EXPECT_EQ(row.error != NULL, Logged(std::string("ERROR removing ShutdownOnceCommand from '") +
                                            ServiceSettings.IniPath + "' (" + (row.error ? row.error : "") +
                                            "); it applies to the next stop too")) << Log();
    }
}

} // namespace
