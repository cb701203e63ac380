// The stop's decisions without VirtualBox: each row feeds the sequence what
// the supervisor would (stop controls, the machine's condition, how each step
// went, deadlines) and checks what it asks for next, the lines it logs, and
// how the machine's end is told.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings.h"
#include "stop_sequence.h"
#include "supervisor.h"
#include "test_support.h"

namespace {

// One event for the sequence and what it must answer.
struct Event {
    char kind;   // 'C' stop control, 'S' condition, 'R' step result, 'D' deadline, 'X' crash
    DWORD at;    // ms since the first control
    int value;   // the condition or the step's outcome
    StopAction expected;
    StopMethod call = StopMethodNone;  // the method of an expected call
    MachineCondition found = MachineRunning;  // as a step found the machine
};

const DWORD Timeout = 20000;
const DWORD Bound = 60000;

class StopSequenceTest : public ::testing::Test {
protected:
    std::string folder;

    void SetUp() override
    {
        folder = MakeTestFolder(std::string("stop ") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }

    void Configure(const std::string &method, const std::string &fallback)
    {
        WriteTextFile(folder + "vm.ini", "[Pelorin]\r\nVboxInstallPath=C:\\VBox\r\nVboxUserHome=C:\\h\r\nVmName=vm\r\n"
                                         "Loglevel=3\r\nShutdownCommand=" + method + "\r\nShutdownFallbackCommand=" +
                                             fallback + "\r\nShutdownTimeout=20000\r\nVirtualBoxTimeout=60000\r\n");
        DeleteFileA((folder + "vm.log").c_str());
        ASSERT_EQ(1, LoadSettingsForProgram((folder + "vm.exe").c_str(), 1));
    }

    std::vector<std::string> Lines()
    {
        std::vector<std::string> lines;
        std::string text = ReadTextFile(folder + "vm.log");
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find("\r\n", at);
            size_t stamp = text.find("] ", at);
            lines.push_back(text.substr(stamp + 2, end - stamp - 2));
            at = end + 2;
        }
        return lines;
    }

    void Play(StopSequence *sequence, const std::vector<Event> &events, const std::string &row)
    {
        const DWORD start = 1000;
        for (const Event &e : events) {
            DWORD now = start + e.at;
            StopAction action = StopActionWait;
            if (e.kind == 'C') {
                action = OnStopControl(sequence, now);
            } else if (e.kind == 'S') {
                action = OnMachineCondition(sequence, (MachineCondition)e.value, now);
            } else if (e.kind == 'R') {
                StepResult result = { (StepOutcome)e.value, e.value == StepRefused, (HRESULT)0x80004005, e.found };
                action = OnStepResult(sequence, &result, now);
            } else if (e.kind == 'D') {
                // The supervisor is woken for each step at its time.
                if (e.expected == StopActionCall || e.expected == StopActionEndProcess) {
                    EXPECT_EQ(1u, StopWaitMs(sequence, now - 1)) << row << " at " << e.at;
                }
                action = OnStopDeadline(sequence, now);
            } else {
                action = OnVmCrash(sequence, now);
            }
            EXPECT_EQ(e.expected, action) << row << " at " << e.at << " '" << e.kind << "'";
            if (action == StopActionCall && e.call != StopMethodNone) {
                EXPECT_EQ(e.call, sequence->callMethod) << row << " at " << e.at;
            }
        }
    }
};

const StopAction Wait = StopActionWait, Read = StopActionReadState, Call = StopActionCall,
                 End = StopActionEndProcess;
const StopMethod PowerOff = StopMethodPowerOff, Save = StopMethodSaveState, Power = StopMethodAcpiPowerButton,
                 Sleep = StopMethodAcpiSleepButton;

TEST_F(StopSequenceTest, EachPathOfAStopAsksForItsStepsAndTellsItsEnd)
{
    struct Row {
        const char *name;
        const char *method, *fallback;
        std::vector<Event> events;
        MachineCondition endCondition;
        DWORD exitCode;
        DWORD specificExitCode;
        std::vector<std::string> lines;  // after "Stopping (<method>) VM 'vm'"
    } rows[] = {
        { "the guest obeys", "acpipowerbutton", "savestate",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineRunning, Call, Power }, { 'R', 0, StepSignalled, Wait },
            { 'D', 1000, 0, Read }, { 'S', 1000, MachineStopping, Wait } },
          MachinePoweredOff, 0, 0, { "VM 'vm' stopped (acpipowerbutton)" } },
        { "a failed save is not repeated: the button, then a power-off", "savestate", "savestate",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineRunning, Call, Save }, { 'R', 0, StepRefused, Call, Power },
            { 'R', 0, StepSignalled, Wait }, { 'D', 10000, 0, Call, Power }, { 'R', 10000, StepSignalled, Wait },
            { 'D', 20000, 0, Call, PowerOff }, { 'R', 20000, StepCarriedOut, Wait } },
          MachinePoweredOff, 0, 0,
          { "VM 'vm' refused the stop (savestate); stopping it (acpipowerbutton)",
            "VM 'vm' did not stop within 20000 ms; stopping it (poweroff)", "VM 'vm' stopped (poweroff)" } },
        { "a guest without ACPI is saved at once", "acpipowerbutton", "savestate",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineRunning, Call, Power }, { 'R', 0, StepNoAcpi, Call, Save },
            { 'R', 0, StepCarriedOut, Wait } },
          MachineSaved, 0, 0, { "VM 'vm' has not entered ACPI mode; stopping it (savestate)", "VM 'vm' stopped (savestate)" } },
        { "a guest that sleeps is saved asleep, the button pressed once", "acpisleepbutton", "savestate",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineRunning, Call, Sleep }, { 'R', 0, StepSignalled, Wait },
            { 'C', 500, 0, Wait }, { 'D', 1000, 0, Read }, { 'S', 1000, MachinePaused, Call, Save },
            { 'R', 1000, StepCarriedOut, Wait } },
          MachineSaved, 0, 0, { "VM 'vm' is paused; stopping it (savestate)", "VM 'vm' stopped (savestate)" } },
        { "a machine that saves itself is awaited and told as saved", "acpipowerbutton", "poweroff",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineSaving, Wait }, { 'D', 1000, 0, Read }, { 'S', 1000, MachineSaving, Wait } },
          MachineSaved, 0, 0, { "VM 'vm' is already stopping (savestate); the stop waits for it", "VM 'vm' stopped (savestate)" } },
        { "a second control presses again and keeps the deadline", "acpipowerbutton", "poweroff",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineRunning, Call, Power }, { 'R', 0, StepSignalled, Wait },
            { 'C', 3000, 0, Call, Power }, { 'R', 3000, StepSignalled, Wait }, { 'D', 10000, 0, Call, Power },
            { 'R', 10000, StepSignalled, Wait }, { 'D', 20000, 0, Call, PowerOff }, { 'R', 20000, StepRefused, Wait },
            { 'D', 80000, 0, End } },
          MachineAborted, ERROR_PROCESS_ABORTED, VmEndedAbnormallyExitCode,
          { "VM 'vm' did not stop within 20000 ms; stopping it (poweroff)",
            "ERROR: VirtualBox did not finish stopping VM 'vm' within 60000 ms; ending its process",
            "VM 'vm' was terminated abnormally while stopping (0x0000042b)" } },
        { "a step that VirtualBox never finishes ends the process", "savestate", "savestate",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineRunning, Call, Save }, { 'R', 0, StepUnfinished, End } },
          MachineAborted, ERROR_PROCESS_ABORTED, VmEndedAbnormallyExitCode,
          { "ERROR: VirtualBox did not finish stopping VM 'vm' within 60000 ms; ending its process",
            "VM 'vm' was terminated abnormally while stopping (0x0000042b)" } },
        { "a machine out of reach is waited for within the bound", "poweroff", "savestate",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineUnknown, Call, PowerOff }, { 'R', 0, StepUnreachable, Wait },
            { 'D', 60000, 0, End } },
          MachineUnknown, ERROR_PROCESS_ABORTED, VmEndedAbnormallyExitCode,
          { "ERROR: VirtualBox did not finish stopping VM 'vm' within 60000 ms; ending its process",
            "VM 'vm' was terminated abnormally while stopping (0x0000042b)" } },
        { "a machine still coming up is awaited", "poweroff", "savestate",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineComingUp, Wait }, { 'D', 250, 0, Read },
            { 'S', 250, MachineRunning, Call, PowerOff }, { 'R', 250, StepCarriedOut, Wait } },
          MachinePoweredOff, 0, 0,
          { "VM 'vm' is still starting; the stop waits for it", "VM 'vm' stopped (poweroff)" } },
        { "a crash found while waiting powers the machine off", "acpipowerbutton", "savestate",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineRunning, Call, Power }, { 'R', 0, StepSignalled, Wait },
            { 'D', 1000, 0, Read }, { 'S', 1000, MachineStuck, Call, PowerOff }, { 'R', 1000, StepCarriedOut, Wait } },
          MachinePoweredOff, 0, VmEndedAbnormallyExitCode,
          { "ERROR: VM 'vm' has crashed (Guru Meditation); powering it off", "VM 'vm' was powered off after its guest crashed" } },
        { "a refused fallback after a late guest: told by the state", "acpipowerbutton", "poweroff",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineRunning, Call, Power }, { 'R', 0, StepSignalled, Wait },
            { 'D', 10000, 0, Call, Power }, { 'R', 10000, StepSignalled, Wait }, { 'D', 20000, 0, Call, PowerOff },
            { 'R', 20000, StepWrongState, Wait, StopMethodNone, MachineStopping } },
          MachinePoweredOff, 0, 0,
          { "VM 'vm' did not stop within 20000 ms; stopping it (poweroff)", "VM 'vm' stopped (acpipowerbutton)" } },
    };
    for (const Row &row : rows) {
        Configure(row.method, row.fallback);
        StopSequence sequence;
        InitStopSequence(&sequence, "vm");
        Play(&sequence, row.events, row.name);
        VmEnd end = { 1, row.exitCode, row.endCondition, 1 };
        EXPECT_EQ(row.specificExitCode, TellVmEnd(&sequence, &end)) << row.name;
        std::vector<std::string> lines = { std::string("Stopping (") + row.method + ") VM 'vm'" };
        EXPECT_EQ(JoinLines(lines, row.lines), Lines()) << row.name;
    }
}

// With ShutdownFallbackCommand=none the administrator waits for ever: no
// deadline after the guest's time, and no last resort.
TEST_F(StopSequenceTest, WithoutAFallbackTheStopWaitsForEver)
{
    Configure("acpipowerbutton", "none");
    StopSequence sequence;
    InitStopSequence(&sequence, "vm");
    Play(&sequence,
         { { 'C', 0, 0, Read }, { 'S', 0, MachineRunning, Call }, { 'R', 0, StepSignalled, Wait },
           { 'D', 10000, 0, Call }, { 'R', 10000, StepSignalled, Wait }, { 'D', 20000, 0, Wait } },
         "none");
    EXPECT_EQ(INFINITE, StopWaitMs(&sequence, 1000 + 20000));
    EXPECT_EQ(StopActionWait, OnStopDeadline(&sequence, 1000 + 900000));
}

TEST_F(StopSequenceTest, TheEndIsToldByTheMachinesStateNotByTheExitCodeAlone)
{
    struct Row {
        bool asked;
        VmEnd end;
        DWORD specificExitCode;
        const char *line;
    } rows[] = {
        { false, { 1, 0, MachinePoweredOff, 1 }, 0, "VM 'vm' stopped by itself" },
        { false, { 0, 0, MachineSaved, 1 }, 0, "VM 'vm' stopped by itself" },
        { false, { 1, 0, MachinePoweredOff, 0 }, VmEndedAbnormallyExitCode,
          "ERROR: VM 'vm' failed to power up (VBoxHeadless ended with 0x00000000)" },
        { false, { 1, 0, MachineAborted, 1 }, VmEndedAbnormallyExitCode, "VM 'vm' was terminated abnormally (aborted)" },
        { true, { 1, 0, MachineAborted, 1 }, VmEndedAbnormallyExitCode,
          "VM 'vm' was terminated abnormally while stopping (aborted)" },
        { false, { 1, 3, MachinePoweredOff, 1 }, VmEndedAbnormallyExitCode, "VM 'vm' was terminated abnormally (0x00000003)" },
        { true, { 1, 0, MachineSaved, 1 }, 0, "VM 'vm' stopped (savestate)" },
        { true, { 1, 0, MachinePoweredOff, 1 }, 0, "VM 'vm' stopped (poweroff)" },
    };
    for (const Row &row : rows) {
        Configure("poweroff", "savestate");
        StopSequence sequence;
        InitStopSequence(&sequence, "vm");
        if (row.asked)
            OnStopControl(&sequence, 0);
        EXPECT_EQ(row.specificExitCode, TellVmEnd(&sequence, &row.end)) << row.line;
        EXPECT_EQ(row.line, Lines().back());
    }
}

TEST(RepressDelayTest, OnlyThePowerButtonIsPressedAgainHalfWayAndNotTooSoon)
{
    const struct {
        StopMethod method;
        DWORD timeout, again;
    } rows[] = {
        { StopMethodAcpiPowerButton, 120000, 60000 }, { StopMethodAcpiPowerButton, 20000, 10000 },
        { StopMethodAcpiPowerButton, 19999, 0 },      { StopMethodAcpiPowerButton, 0, 0 },
        { StopMethodAcpiSleepButton, 120000, 0 },     { StopMethodSaveState, 120000, 0 },
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.again, RepressDelay(row.method, row.timeout)) << row.method << " " << row.timeout;
}

} // namespace
