// The control pipe server in-process against the stand-in: the answers, what
// gets none, many clients at once, the end of the server and its DACL.
#include "vbox_fixture.h"

#include <aclapi.h>
#include <process.h>
#include <sddl.h>

#include "control_pipe.h"
#include "import_hook.h"
#include "pipe_harness.h"
#include "pipe_client.h"
#include "pipe_server.h"
#include "settings.h"
#include "test_support.h"
#include "vbox_api.h"

namespace {

class PipeTest : public VboxTest {
protected:
    HANDLE server = NULL;

    void StartServer()
    {
        PipeServerRunning = 1;
        server = StartJoinableThread(PipeServerThread);
        // Code 0 is answered by nothing, logged by nothing: a quiet probe.
        DWORD probe = 0, reply = 0;
        for (int i = 0; i < 100 && ExchangeOnControlPipe(TestVmName, &probe, sizeof(probe), &reply) < 0; i++)
            Sleep(50);
    }

    bool ServerEnded() { return WaitForSingleObject(server, 10000) == WAIT_OBJECT_0; }

    void TearDown() override
    {
        if (server != NULL) {
            StopPipeServer();
            EXPECT_TRUE(ServerEnded());
            CloseHandle(server);
        }
        VboxTest::TearDown();
    }

    size_t ReadErrors()
    {
        size_t count = 0;
        for (const std::string &line : LogMessages())
            count += line == "ERROR reading from client";
        return count;
    }
};

TEST_F(PipeTest, TheThreeAnswersFollowTheMachine)
{
    struct Case {
        long state, vrdeEnabled;
        const char *name;
        DWORD enabled, port, resolution;
    } cases[] = {
        { MachineStateRunning, 1, TestVmName, 1, 3389, 0x03000400 },
        { MachineStateRunning, 0, TestVmName, 0, 3389, 0x03000400 },
        { MachineStatePoweredOff, 1, TestVmName, 1, 0, 0 },
        { MachineStateRunning, 1, "Not Registered", 0, 0, 0 },
    };
    StartServer();
    for (const Case &c : cases) {
        PutMachine(c.state);
        StandinMachine machine = {};
        StandinGetMachine(TestVmName, &machine);
        machine.vrdeEnabled = c.vrdeEnabled;
        StandinPutMachine(&machine);
        strcpy(ServiceSettings.VmName, c.name);
        EXPECT_EQ(c.enabled, AskControlPipe(TestVmName, VrdeEnabled)) << c.state << " " << c.name;
        EXPECT_EQ(c.port, AskControlPipe(TestVmName, VrdePort)) << c.state << " " << c.name;
        EXPECT_EQ(c.resolution, AskControlPipe(TestVmName, ScreenResolution)) << c.state << " " << c.name;
    }
    strcpy(ServiceSettings.VmName, TestVmName);
    // Every lock taken for an answer was given back.
    size_t locks = 0;
    for (const std::string &entry : JournalOf("IMachine::LockMachine"))
        locks += entry.find("result=") == std::string::npos;
    EXPECT_EQ(4u, locks);
    EXPECT_EQ(locks, JournalOf("ISession::UnlockMachine").size());
}

// The tray's client against this server: "enabled port opened width height".
TEST_F(PipeTest, TheTrayHelpersClientReadsTheServersAnswers)
{
    auto askAll = [] {
        int width = 77, height = 77;
        int enabled = RequestVrdeEnabled(TestVmName), port = RequestVrdePort(TestVmName);
        int opened = RequestScreenResolution(TestVmName, &width, &height);
        return std::to_string(enabled) + " " + std::to_string(port) + " " + std::to_string(opened) + " " +
               std::to_string(width) + " " + std::to_string(height);
    };
    PutMachine(MachineStateRunning);
    StartServer();
    EXPECT_EQ("1 3389 1 1024 768", askAll());
    StandinMachine machine = {};
    StandinGetMachine(TestVmName, &machine);
    machine.vrdeEnabled = 0;
    StandinPutMachine(&machine);
    EXPECT_EQ("0 3389 1 1024 768", askAll());
    // The service stopped: no pipe at all.
    StopPipeServer();
    ASSERT_TRUE(ServerEnded());
    EXPECT_EQ("0 -1 -1 0 0", askAll());
}

TEST_F(PipeTest, WhatIsNoWholeRequestGetsNoReply)
{
    StartServer();
    struct Case {
        DWORD request;
        DWORD size;
        size_t readErrors;
    } cases[] = { { 0x103, 4, 0 }, { 0, 4, 0 }, { 0xFFFFFFFF, 4, 0 }, { VrdePort, 3, 1 }, { VrdePort, 1, 2 }, { 0, 0, 3 } };
    for (const Case &c : cases) {
        DWORD reply = 0;
        EXPECT_EQ(0, ExchangeOnControlPipe(TestVmName, &c.request, c.size, &reply)) << c.request << "/" << c.size;
        Sleep(100);
        EXPECT_EQ(c.readErrors, ReadErrors()) << c.request << "/" << c.size;
    }
    EXPECT_EQ(0u, JournalOf("VirtualBox::CreateInstance").size());
}

TEST_F(PipeTest, SixteenClientsAtOnceAreAllServed)
{
    PutMachine(MachineStateRunning);
    StartServer();
    DWORD replies[16] = {};
    HANDLE clients[16];
    for (DWORD &reply : replies) {
        clients[&reply - replies] = StartJoinableThread([](void *out) {
            *(DWORD *)out = AskControlPipe(TestVmName, VrdePort);
        }, &reply);
    }
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForMultipleObjects(16, clients, TRUE, 60000));
    for (int i = 0; i < 16; i++) {
        EXPECT_EQ(3389u, replies[i]) << i;
        CloseHandle(clients[i]);
    }
}

static void *RealCreateNamedPipe;
static volatile LONG PipeInstances;

// The second and later instances come late.
static HANDLE WINAPI CreateLateNamedPipe(LPCSTR name, DWORD mode, DWORD type, DWORD count, DWORD out, DWORD in,
                                         DWORD timeout, LPSECURITY_ATTRIBUTES sa)
{
    if (InterlockedIncrement(&PipeInstances) > 1)
        Sleep(500);
    return ((decltype(&CreateNamedPipeA))RealCreateNamedPipe)(name, mode, type, count, out, in, timeout, sa);
}

// The wake-up must also reach a loop that is between two instances.
TEST_F(PipeTest, AfterStopNoInstanceIsLeftEvenWhenNoneListenedAtThatMoment)
{
    void *&realCreate = RealCreateNamedPipe;
    PipeInstances = 0;
    realCreate = ReplaceImport("kernel32.dll", "CreateNamedPipeA", (void *)CreateLateNamedPipe);
    StartServer();
    Sleep(100);
    StopPipeServer();
    bool ended = ServerEnded();
    ReplaceImport("kernel32.dll", "CreateNamedPipeA", realCreate);
    EXPECT_TRUE(ended);
    // The wake-up connection's instance goes once its thread has closed it; none follows.
    DWORD error = 0;
    for (int i = 0; i < 100 && error != ERROR_FILE_NOT_FOUND; i++) {
        HANDLE pipe = ConnectControlPipe(TestVmName, 0);
        error = GetLastError();
        ASSERT_EQ(INVALID_HANDLE_VALUE, pipe);
        Sleep(20);
    }
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, error);
}

TEST_F(PipeTest, OnlyInteractiveAndSystemLogonsHaveAccess)
{
    StartServer();
    HANDLE pipe = ConnectControlPipe(TestVmName);
    ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    PACL dacl = NULL;
    ASSERT_EQ((DWORD)ERROR_SUCCESS, GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                                                   &dacl, NULL, &descriptor));
    char *text = NULL;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, NULL);
    EXPECT_STREQ("D:(A;;0x112019f;;;IU)(A;;0x112019f;;;SY)", text);
    LocalFree(text);
    LocalFree(descriptor);
    CloseHandle(pipe);
}

TEST_F(PipeTest, AMachineNameTooLongForThePipeIsLoggedAndNotServed)
{
    std::string name(254, 'x');
    strcpy(ServiceSettings.VmName, name.c_str());
    PipeServerRunning = 1;
    PipeServerThread(NULL);
    std::vector<std::string> expected = {
        "ERROR: VmName '" + name + "' is too long for the control pipe; remote display queries are not served",
    };
    EXPECT_EQ(expected, LogMessages());
    StopPipeServer();
}

} // namespace
