// Stops that come in a storm, and starts and stops in a row: the machine is
// stopped once per start, the log says so, and neither the service nor the
// VirtualBox server (the stand-in) keeps handles from one cycle to the next.
#include "service_fixture.h"

#include <stdio.h>

#include <algorithm>

#include "process_probe.h"
#include "test_support.h"
#include "vbox_api.h"

namespace {

const int Cycles = 50;
const std::vector<std::string> CycleLines = { "Starting VM 'Web Server'", "VM 'Web Server' started",
                                              "Stopping (poweroff) VM 'Web Server'", "VM 'Web Server' stopped (poweroff)" };

class StopCycleTest : public ServiceFixture {};

// Windows hands the service the first stop; while it is stop pending it
// refuses the others, so the slow save runs once and ends the service.
TEST_F(StopCycleTest, TwentyStopsDuringASlowSaveSaveTheMachineOnce)
{
    std::string text = Ini("ShutdownCommand=savestate\r\n");
    BeginRow(text, MachineStatePoweredOff);
    ASSERT_EQ(1, StandinSetDelay("SaveState", 3000));
    ASSERT_TRUE(StartRunning());

    std::vector<DWORD> answers;
    for (int i = 0; i < 20; i++) {
        answers.push_back(StopServiceByName(service));
        Sleep(50);
    }
    EXPECT_EQ(0u, answers.front());
    EXPECT_EQ((size_t)19, (size_t)std::count(answers.begin() + 1, answers.end(), (DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    SERVICE_STATUS status = WaitStopped();
    EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    std::vector<std::string> lines = { "Starting VM 'Web Server'", "VM 'Web Server' started",
                                       "Stopping (savestate) VM 'Web Server'", "VM 'Web Server' stopped (savestate)" };
    EXPECT_EQ(lines, LogMessages());
    EXPECT_EQ(1u, JournalOf("IConsole::SaveState").size());
    EXPECT_EQ(MachineStateSaved, MachineState());
    EXPECT_EQ(text, ReadTextFile(ini));
}

TEST_F(StopCycleTest, FiftyStartStopCyclesLeaveHandleCountsFlat)
{
    DWORD server = StandinServerPid();
    ASSERT_NE(0u, server);
    std::vector<int> serviceHandles, serverHandles;
    std::vector<std::string> expected;
    for (int cycle = 0; cycle < Cycles; cycle++) {
        ASSERT_TRUE(StartRunning()) << cycle;
        EXPECT_EQ(1u, HeadlessOfTheService()) << cycle;
        DWORD pid = ServiceProcessId(service);
        serviceHandles.push_back(CountProcessHandles(pid));
        SERVICE_STATUS status = StopAndWait();
        ASSERT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState) << cycle;
        EXPECT_EQ(0u, status.dwWin32ExitCode) << cycle;
        // The service lets VirtualBox go after its last report: count once it has ended.
        EXPECT_TRUE(WaitForProcessEnd(pid, 10000)) << cycle;
        serverHandles.push_back(CountProcessHandles(server));
        expected.insert(expected.end(), CycleLines.begin(), CycleLines.end());
    }
    printf("%d start/stop cycles; service handles while running: first %d, last %d, least %d, most %d\n", Cycles,
           serviceHandles.front(), serviceHandles.back(),
           *std::min_element(serviceHandles.begin(), serviceHandles.end()),
           *std::max_element(serviceHandles.begin(), serviceHandles.end()));
    printf("VirtualBox server (stand-in) handles after each stop: first %d, last %d, least %d, most %d\n",
           serverHandles.front(), serverHandles.back(), *std::min_element(serverHandles.begin(), serverHandles.end()),
           *std::max_element(serverHandles.begin(), serverHandles.end()));

    EXPECT_EQ(expected, LogMessages());
    EXPECT_EQ((size_t)Cycles, JournalOf("VBoxHeadless::Start").size());
    ASSERT_GT(serviceHandles.front(), 0);
    ASSERT_GT(serverHandles.front(), 0);
    // A handle kept per cycle would show as 50.
    EXPECT_LE(*std::max_element(serviceHandles.begin(), serviceHandles.end()),
              *std::min_element(serviceHandles.begin(), serviceHandles.end()) + 10);
    EXPECT_LE(serverHandles.back(), serverHandles.front() + 10);
}

}  // namespace
