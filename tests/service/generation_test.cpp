// The service against each VirtualBox API generation that the stand-in
// plays, through real COM: the generation chosen at connect time, a machine
// started and adopted, the four stops and the pipe's three answers.
#include "vbox_fixture.h"

#include <algorithm>

#include "settings.h"
#include "test_support.h"
#include "vbox_session.h"
#include "vm_queries.h"
#include "vm_start.h"
#include "vm_stop.h"

namespace {

struct Generation {
    const char *name;
    long running, saved;
    const char *saveCall;
};

const Generation Generations[] = {
    { "4.0", 5, 2, "IConsole::SaveState" },     { "5.2", 5, 2, "IMachine::SaveState" },
    { "6.1", 5, 2, "IMachine::SaveState" },     { "7.0", 6, 2, "IMachine::SaveState" },
    { "7.1", 6, 2, "IMachine::SaveState" },     { "7.2", 6, 2, "IMachine::SaveState" },
};

class ServiceGenerationTest : public VboxTest {
protected:
    void Use(const char *generation, long state, unsigned long sessionPid = 0)
    {
        ASSERT_EQ(1, StandinReset());
        ASSERT_EQ(1, StandinSetGeneration(generation));
        PutMachine(state, sessionPid);
        DeleteFileA(ServiceSettings.LogPath);
    }
};

TEST_F(ServiceGenerationTest, EachGenerationIsChosenAndRunsTheMachineThroughItsWholeLife)
{
    const struct {
        const char *word;
        StopMethod method;
    } stops[] = { { "poweroff", StopMethodPowerOff }, { "savestate", StopMethodSaveState },
                  { "acpipowerbutton", StopMethodAcpiPowerButton }, { "acpisleepbutton", StopMethodAcpiSleepButton } };
    for (const Generation &g : Generations) {
        for (const auto &stop : stops) {
            Use(g.name, 1);
            strcpy(ServiceSettings.ShutdownCommand, stop.word);
            ServiceSettings.StopMethod = stop.method;
            DWORD replies[3] = {};
            RunOnSupervisorThread([&] {
                ASSERT_EQ(S_OK, OpenVirtualBox()) << g.name;
                ASSERT_STREQ(g.name, VboxApi->name);
                ASSERT_EQ(1, StartVm(TestVmName)) << g.name;
                ASSERT_EQ(g.running, WaitForMachineState(g.running)) << g.name;
                // What a pipe request computes, on a private connection.
                IVirtualBox *virtualBox = NULL;
                ISession *session = NULL;
                if (SUCCEEDED(ConnectVirtualBox(&virtualBox)) && SUCCEEDED(CreateSession(&session))) {
                    replies[0] = QueryVrdeEnabled(virtualBox, TestVmName);
                    replies[1] = QueryVrdePort(virtualBox, session, TestVmName);
                    replies[2] = QueryScreenResolution(virtualBox, session, TestVmName);
                }
                if (session != NULL)
                    session->Release();
                DisconnectVirtualBox(&virtualBox);
                StepResult step;
                StopVmWith(TestVmName, stop.word, stop.method, 60000, &step);
                EXPECT_EQ(stop.method >= StopMethodAcpiPowerButton ? StepSignalled : StepCarriedOut, step.outcome);
                CloseVirtualBox();
            });
            std::string row = std::string(g.name) + " " + stop.word;
            EXPECT_TRUE(Logged(std::string("Using VirtualBox API generation ") + g.name)) << row << Log();
            EXPECT_EQ(1u, replies[0]) << row;
            EXPECT_EQ(3389u, replies[1]) << row;
            EXPECT_EQ(0x03000400u, replies[2]) << row;
            EXPECT_EQ(stop.method == StopMethodSaveState ? g.saved : 1, WaitForMachineState(stop.method == StopMethodSaveState ? g.saved : 1)) << row;
            EXPECT_EQ(std::string::npos, Log().find("ERROR")) << row << Log();
            EXPECT_EQ(0u, JournalOf("IConsole::Unused").size() + JournalOf("IMachine::Unused").size()) << row;
            if (stop.method == StopMethodSaveState) {
                EXPECT_EQ(1u, JournalOf(g.saveCall).size()) << row;
            }
            EndHeadless();
        }
        // A machine that VirtualBox already runs is adopted, by its generation's number for Running.
        PROCESS_INFORMATION holder = StartSessionHolder();
        Use(g.name, g.running, holder.dwProcessId);
        EXPECT_EQ(1, StartOnSupervisorThread()) << g.name;
        EXPECT_TRUE(Logged("VM 'Web Server' is already running (pid=" + std::to_string(holder.dwProcessId) +
                           "), using existing session")) << g.name << Log();
        EndSessionHolder(&holder);
        EndHeadless();
    }
}

// The numbers moved in 7.0: 5 is AbortedSaved, 11 Starting, 12 Stopping, 13 Saving.
TEST_F(ServiceGenerationTest, From70OnTheStartReadsTheMovedStateNumbers)
{
    const struct {
        long state;
        int started;
        bool launched;
    } rows[] = { { 5, 1, true }, { 12, 0, false }, { 13, 0, false }, { 14, 1, false } };
    const char *newer[] = { "7.0", "7.1", "7.2" };
    for (const char *generation : newer) {
        for (const auto &row : rows) {
            // An adopted machine needs a live session process.
            PROCESS_INFORMATION holder = StartSessionHolder();
            Use(generation, row.state, holder.dwProcessId);
            EXPECT_EQ(row.started, StartOnSupervisorThread()) << generation << " state " << row.state;
            // A started machine runs once its VBoxHeadless has attached (Running is 6 from 7.0 on).
            if (row.launched) {
                EXPECT_EQ(6, WaitForMachineState(6)) << generation;
            }
            EXPECT_EQ(row.launched ? 1u : 0u, JournalOf("VBoxHeadless::Start").size()) << generation << " state " << row.state;
            EXPECT_EQ(!row.started, Logged("ERROR starting VM 'Web Server' because it is stopping")) << generation << Log();
            EndSessionHolder(&holder);
            EndHeadless();
        }
    }
}

TEST_F(ServiceGenerationTest, AVirtualBoxOfNoKnownGenerationIsAFailedConnection)
{
    Use("none", 1);
    HRESULT opened = S_OK;
    int started = -1;
    RunOnSupervisorThread([&] {
        opened = OpenVirtualBox();
        started = StartVm(TestVmName);
        CloseVirtualBox();
    });
    EXPECT_EQ(E_NOINTERFACE, opened);
    EXPECT_EQ(0, started);
    EXPECT_TRUE(Logged("ERROR: VirtualBox speaks none of the supported API generations 7.2, 7.1, 7.0, 6.1, 5.2, 4.0 "
                       "(rc = 0x80004002)")) << Log();
    EXPECT_EQ(0u, JournalOf("IVirtualBox::").size());
    EXPECT_EQ(0u, JournalOf("VBoxHeadless::Start").size());
}

// A later release that changed one interface and not IVirtualBox: every
// object of it that VirtualBox hands out is refused before any call by
// position, in every generation, and the step fails as it would otherwise.
TEST_F(ServiceGenerationTest, AnObjectOfAnotherIdentifierIsNeverCalledByPosition)
{
    const char LaterIid[] = "{019EBB0E-AEC6-71A3-9BB7-29548EF5B10C}";
    const struct {
        const char *interfaceName;
        const char *query;       // what obtains the object
        const char *stepLine;    // the step's own failure line, if any
    } kinds[] = {
        { "IMachine", "enabled", "ERROR getting virtual machine interface (0x80004002)" },
        { "IVRDEServer", "enabled", NULL },
        { "IConsole", "port", NULL },
        { "IVRDEServerInfo", "port", NULL },
        { "IDisplay", "resolution", NULL },
        { "IProgress", "stop", "ERROR stopping VM 'Web Server' (0x80004002)" },
    };
    for (const Generation &g : Generations) {
        for (const auto &kind : kinds) {
            std::string row = std::string(g.name) + " " + kind.interfaceName;
            Use(g.name, g.running);
            ASSERT_EQ(1, StandinSetMismatch(kind.interfaceName, LaterIid)) << row;
            DWORD reply = ~0u;
            RunOnSupervisorThread([&] {
                ASSERT_EQ(S_OK, OpenVirtualBox()) << row;
                std::string query = kind.query;
                if (query == "enabled")
                    reply = QueryVrdeEnabled(ServiceVirtualBox, TestVmName);
                else if (query == "port")
                    reply = QueryVrdePort(ServiceVirtualBox, ServiceSession, TestVmName);
                else if (query == "resolution")
                    reply = QueryScreenResolution(ServiceVirtualBox, ServiceSession, TestVmName);
                else {
                    StepResult step;
                    StopVmWith(TestVmName, "poweroff", StopMethodPowerOff, 60000, &step);
                }
                CloseVirtualBox();
            });
            if (std::string(kind.query) != "stop") {
                EXPECT_EQ(0u, reply) << row;
            }
            std::string mismatch = std::string("ERROR: VirtualBox's ") + kind.interfaceName +
                                   " does not match the API generation " + g.name + " (0x80004002)";
            std::vector<std::string> lines = LogMessages();
            EXPECT_EQ(1, std::count(lines.begin(), lines.end(), mismatch)) << row << Log();
            if (kind.stepLine != NULL) {
                EXPECT_TRUE(Logged(kind.stepLine)) << row << Log();
            }
            EXPECT_EQ(0u, JournalOf(std::string(kind.interfaceName) + "::").size()) << row;
        }
    }
}

} // namespace
