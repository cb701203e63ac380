// VirtualBox's server dies: while the machine runs, and while a save is under
// way. Its machine's VBoxHeadless loses the server and ends; the service logs
// how and stops. Run by server_death.sh, each case in a Wine prefix of its
// own: a killed COM server stays registered in the prefix until its
// wineserver ends, so no later test could reach a server there.
#include "service_fixture.h"

#include "test_support.h"
#include "vbox_api.h"

namespace {

class ServerDeathTest : public ServiceFixture {
protected:
    void KillServer()
    {
        HANDLE server = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, StandinServerPid());
        ASSERT_NE((HANDLE)NULL, server);
        TerminateProcess(server, 1);
        WaitForSingleObject(server, 10000);
        CloseHandle(server);
    }

    // A line given ending in "*" stands for every line that begins so: the
    // code of a call cut off by the server's death is the RPC runtime's choice.
    // STOPPED follows the machine's end (WaitStopped's bound says that it
    // came at all): releasing the dead server's objects comes after the final
    // report, and cannot hold it back.
    void ExpectStoppedWith(std::vector<std::string> lines)
    {
        SERVICE_STATUS status = WaitStopped();
        EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState);
        EXPECT_EQ(1066u, status.dwWin32ExitCode);
        EXPECT_EQ(0x80800003u, status.dwServiceSpecificExitCode);
        std::vector<std::string> logged = LogMessages();
        for (size_t i = 0; i < lines.size() && i < logged.size(); i++) {
            if (lines[i].back() == '*' && logged[i].compare(0, lines[i].size() - 1, lines[i], 0, lines[i].size() - 1) == 0)
                lines[i] = logged[i];
        }
        EXPECT_EQ(lines, logged);
        EXPECT_EQ(0u, HeadlessRunning());
    }
};

TEST_F(ServerDeathTest, WhileTheMachineRuns)
{
    std::string text = Ini();
    ASSERT_TRUE(StartRunning());
    // The pipe's own connection is opened once the machine runs: it has, before the server goes.
    for (int i = 0; i < 200 && JournalOf("IVirtualBox::get_HomeFolder").size() < 2; i++)
        Sleep(50);
    ASSERT_EQ(2u, JournalOf("IVirtualBox::get_HomeFolder").size());
    KillServer();
    ExpectStoppedWith({ "Starting VM 'Web Server'", "VM 'Web Server' started",
                        "VM 'Web Server' was terminated abnormally (0x00000001)" });
    EXPECT_EQ(text, ReadTextFile(ini));
}

TEST_F(ServerDeathTest, WhileASaveIsUnderWay)
{
    std::string text = Ini("ShutdownCommand=savestate\r\n");
    BeginRow(text, MachineStatePoweredOff);
    ASSERT_EQ(1, StandinSetDelay("SaveState", 60000));
    ASSERT_TRUE(StartRunning());
    EXPECT_EQ(0u, StopServiceByName(service));
    ASSERT_EQ(MachineStateSaving, WaitForMachineState(MachineStateSaving));
    // The server dies while the service waits on the save's progress: the
    // machine is saving before the save call has brought that progress back.
    for (int i = 0; i < 200 && JournalOf("IProgress::WaitForCompletion").empty(); i++)
        Sleep(50);
    ASSERT_EQ(1u, JournalOf("IProgress::WaitForCompletion").size());
    KillServer();
    // No fallback: no other method reaches a server that has gone.
    ExpectStoppedWith({ "Starting VM 'Web Server'", "VM 'Web Server' started", "Stopping (savestate) VM 'Web Server'",
                        "ERROR stopping (savestate) VM 'Web Server' (0x8*",
                        "VM 'Web Server' was terminated abnormally while stopping (0x00000001)" });
    EXPECT_EQ(text, ReadTextFile(ini));
}

}  // namespace
