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

const StopAction Wait = StopActionWait, Read = StopActionReadState, Call = StopActionCall,
                 End = StopActionEndProcess;
const StopMethod PowerOff = StopMethodPowerOff, Save = StopMethodSaveState, Power = StopMethodAcpiPowerButton,
                 Sleep = StopMethodAcpiSleepButton;

// One event for the sequence and what it must answer.
struct Event {
    char kind;   // 'C' stop control, 'S' condition, 'R' step result, 'D' deadline
    DWORD at;    // ms since the first control
    int value;   // the condition or the step's outcome
    StopAction expected;
    StopMethod call = StopMethodNone;  // the method of an expected call
    MachineCondition found = MachineRunning;  // as a step found the machine
};

// Loads the settings of a stop and starts a new log; returns the log's path.
std::string ConfigureStop(const std::string &method, const std::string &fallback)
{
    std::string folder = MakeTestFolder("stop sequence");
    WriteTextFile(folder + "vm.ini", "[Pelorin]\r\nVboxInstallPath=C:\\VBox\r\nVboxUserHome=C:\\h\r\nVmName=vm\r\n"
                                     "Loglevel=3\r\nShutdownCommand=" + method + "\r\nShutdownFallbackCommand=" + fallback +
                                         "\r\nShutdownTimeout=20000\r\nVirtualBoxTimeout=60000\r\n");
    EXPECT_EQ(1, LoadSettingsForProgram((folder + "vm.exe").c_str(), 1));
    return folder + "vm.log";
}

void PlayStop(StopSequence *sequence, const std::vector<Event> &events, const std::string &row)
{
    for (const Event &e : events) {
        DWORD now = 1000 + e.at;
        // The supervisor is woken for each step at its time.
        if (e.kind == 'D' && (e.expected == Call || e.expected == End)) {
            EXPECT_EQ(1u, StopWaitMs(sequence, now - 1)) << row << " at " << e.at;
        }
        StepResult result = { (StepOutcome)e.value, e.value == StepRefused, (HRESULT)0x80004005, e.found };
        StopAction action = e.kind == 'C'   ? OnStopControl(sequence, now)
                            : e.kind == 'S' ? OnMachineCondition(sequence, (MachineCondition)e.value, now)
                            : e.kind == 'R' ? OnStepResult(sequence, &result, now)
                                            : OnStopDeadline(sequence, now);
        EXPECT_EQ(e.expected, action) << row << " at " << e.at << " '" << e.kind << "'";
        if (action == Call && e.call != StopMethodNone) {
            EXPECT_EQ(e.call, sequence->callMethod) << row << " at " << e.at;
        }
    }
}

TEST(StopSequenceTest, EachPathOfAStopAsksForItsStepsAndTellsItsEnd)
{
    const DWORD Abnormal = VmEndedAbnormallyExitCode;
    struct Row {
        const char *name;
        const char *method, *fallback;
        std::vector<Event> events;
        VmEnd end;
        DWORD specificExitCode;
        std::vector<std::string> lines;  // after "Stopping (<method>) VM 'vm'"
    } rows[] = {
        { "a failed save is not repeated; a second press keeps the deadline; a late guest's end", "savestate", "savestate",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineRunning, Call, Save }, { 'R', 0, StepRefused, Call, Power },
            { 'R', 0, StepSignalled, Wait }, { 'C', 3000, 0, Call, Power }, { 'R', 3000, StepSignalled, Wait },
            { 'D', 10000, 0, Call, Power }, { 'R', 10000, StepSignalled, Wait }, { 'D', 20000, 0, Call, PowerOff },
            { 'R', 20000, StepWrongState, Wait, StopMethodNone, MachineStopping } },
          { 1, 0, MachinePoweredOff, 1 }, 0,
          { "VM 'vm' refused the stop (savestate); stopping it (acpipowerbutton)",
            "VM 'vm' did not stop within 20000 ms; stopping it (poweroff)", "VM 'vm' stopped (acpipowerbutton)" } },
        { "a machine still coming up, then out of reach, is waited for within the bound", "poweroff", "savestate",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineComingUp, Wait }, { 'D', 250, 0, Read },
            { 'S', 250, MachineUnknown, Call, PowerOff }, { 'R', 250, StepUnreachable, Wait }, { 'D', 60250, 0, End } },
          { 1, ERROR_PROCESS_ABORTED, MachineUnknown, 1 }, Abnormal,
          { "VM 'vm' is still starting; the stop waits for it",
            "ERROR: VirtualBox did not finish stopping VM 'vm' within 60000 ms; ending its process",
            "VM 'vm' was terminated abnormally while stopping (0x0000042b)" } },
        { "a sleeping guest is not woken by a second control; its crash powers it off", "acpisleepbutton", "savestate",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineRunning, Call, Sleep }, { 'R', 0, StepSignalled, Wait },
            { 'C', 500, 0, Wait }, { 'D', 1000, 0, Read }, { 'S', 1000, MachineStuck, Call, PowerOff },
            { 'R', 1000, StepCarriedOut, Wait } },
          { 1, 0, MachinePoweredOff, 1 }, Abnormal,
          { "ERROR: VM 'vm' has crashed (Guru Meditation); powering it off", "VM 'vm' was powered off after its guest crashed" } },
        { "without a fallback the stop waits for ever, and an abort is told", "acpipowerbutton", "none",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineRunning, Call, Power }, { 'R', 0, StepSignalled, Wait },
            { 'D', 10000, 0, Call, Power }, { 'R', 10000, StepSignalled, Wait }, { 'D', 20000, 0, Wait },
            { 'D', 900000, 0, Wait } },
          { 1, 0, MachineAborted, 1 }, Abnormal, { "VM 'vm' was terminated abnormally while stopping (aborted)" } },
        { "a machine saved while its guest is awaited is told as saved", "acpipowerbutton", "poweroff",
          { { 'C', 0, 0, Read }, { 'S', 0, MachineRunning, Call, Power }, { 'R', 0, StepSignalled, Wait },
            { 'D', 1000, 0, Read }, { 'S', 1000, MachineSaving, Wait } },
          { 1, 0, MachineSaved, 1 }, 0, { "VM 'vm' stopped (savestate)" } },
    };
    for (const Row &row : rows) {
        std::string log = ConfigureStop(row.method, row.fallback);
        StopSequence sequence;
        InitStopSequence(&sequence, "vm");
        PlayStop(&sequence, row.events, row.name);
        EXPECT_EQ(row.specificExitCode, TellVmEnd(&sequence, &row.end)) << row.name;
        std::vector<std::string> lines = { std::string("Stopping (") + row.method + ") VM 'vm'" };
        EXPECT_EQ(JoinLines(lines, row.lines), LogMessagesOf(log)) << row.name;
    }
}

TEST(RepressDelayTest, OnlyThePowerButtonIsPressedAgainHalfWayAndNotTooSoon)
{
    EXPECT_EQ(10000u, RepressDelay(StopMethodAcpiPowerButton, 20000));
    EXPECT_EQ(0u, RepressDelay(StopMethodAcpiPowerButton, 19999));
    EXPECT_EQ(0u, RepressDelay(StopMethodAcpiSleepButton, 120000));
}

} // namespace
