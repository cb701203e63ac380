// The control pipe server in-process against the stand-in: the answers, what
// gets none, many clients at once, the end of the server and its DACL.
#include "vbox_fixture.h"

#include <aclapi.h>
#include <process.h>
#include <sddl.h>

#include <algorithm>

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
        bool registered;
        DWORD enabled, port, resolution;
    } cases[] = {
        { MachineStateRunning, 1, true, 1, 3389, 0x03000400 },
        // VirtualBox reports no port while the remote display is off.
        { MachineStateRunning, 0, true, 0, 0, 0x03000400 },
        { MachineStatePoweredOff, 1, true, 1, 0, 0 },
        // Unregistered since the last question: the kept machine object fails, and no other is found.
        { MachineStateRunning, 1, false, 0, 0, 0 },
    };
    StartServer();
    for (const Case &c : cases) {
        PutMachine(c.state);
        StandinMachine machine = {};
        StandinGetMachine(TestVmName, &machine);
        machine.vrdeEnabled = c.vrdeEnabled;
        StandinPutMachine(&machine);
        if (!c.registered) {
            // Counted before the reset takes the journal: one shared lock served the running machine and
            // was given back; one that does not run is not locked (VirtualBox would lock it exclusively).
            ASSERT_EQ(1u, JournalOf("IMachine::LockMachine").size());
            ASSERT_EQ(1u, JournalOf("ISession::UnlockMachine").size());
            ASSERT_EQ(1, StandinReset());
        }
        EXPECT_EQ(c.enabled, AskControlPipe(TestVmName, VrdeEnabled)) << c.state << " " << c.registered;
        EXPECT_EQ(c.port, AskControlPipe(TestVmName, VrdePort)) << c.state << " " << c.registered;
        EXPECT_EQ(c.resolution, AskControlPipe(TestVmName, ScreenResolution)) << c.state << " " << c.registered;
    }
    // After the reset nothing was locked.
    EXPECT_EQ(0u, JournalOf("IMachine::LockMachine").size());
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
    EXPECT_EQ("0 0 1 1024 768", askAll());
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

// The access list of the running server's pipe, in SDDL.
static std::string PipeDacl()
{
    HANDLE pipe = ConnectControlPipe(TestVmName);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    char *text = NULL;
    GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL, &descriptor);
    ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, NULL);
    std::string dacl = text ? text : "";
    LocalFree(text);
    LocalFree(descriptor);
    CloseHandle(pipe);
    return dacl;
}

// Besides SYSTEM, the account the service runs under may create the pipe's
// instances, or it could create no second one; INTERACTIVE never.
TEST_F(PipeTest, OnlyInteractiveLogonsAndTheServicesOwnUserHaveAccess)
{
    StartServer();
    EXPECT_EQ("D:(A;;0x112019b;;;IU)(A;;0x112019f;;;SY)(A;;0x112019f;;;" + ProcessUserSid() + ")", PipeDacl());
}

static void *RealGetTokenInformation;

// The token of a service that runs as LocalSystem has SYSTEM as its user.
static BOOL WINAPI ServiceTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD size,
                                           PDWORD length)
{
    DWORD sidSize = SECURITY_MAX_SID_SIZE;
    return ((decltype(&GetTokenInformation))RealGetTokenInformation)(token, kind, buffer, size, length)
        && CreateWellKnownSid(WinLocalSystemSid, NULL, ((TOKEN_USER *)buffer)->User.Sid, &sidSize);
}

TEST_F(PipeTest, OnlyInteractiveAndSystemLogonsHaveAccessUnderLocalSystem)
{
    {
        ImportReplaced token("advapi32.dll", "GetTokenInformation", (void *)ServiceTokenInformation);
        RealGetTokenInformation = token.real;
        StartServer();
    }
    EXPECT_EQ("D:(A;;0x112019b;;;IU)(A;;0x112019f;;;SY)", PipeDacl());
}

// One connection for as long as it works: a new one only after VirtualBox's
// server went away.
TEST_F(PipeTest, TheConnectionIsKeptAndRenewedOnlyWhenVirtualBoxRestarted)
{
    PutMachine(MachineStateRunning);
    StartServer();
    auto connections = [this] {
        size_t count = 0;
        for (const std::string &line : LogMessages())
            count += line == "Initializing VirtualBox interface";
        return count;
    };
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(3389u, AskControlPipe(TestVmName, VrdePort)) << i;
    EXPECT_EQ(1u, connections());
    ASSERT_EQ(1, StandinRestartServer());
    EXPECT_EQ(3389u, AskControlPipe(TestVmName, VrdePort));
    EXPECT_EQ(1u, AskControlPipe(TestVmName, VrdeEnabled));
    EXPECT_EQ(2u, connections());
}

// A VirtualBox that hangs holds no request longer than the bound: the one in
// the call and the one behind it both get 0, and the pipe answers again once
// VirtualBox does.
TEST_F(PipeTest, RequestsBehindAHungVirtualBoxCallAreAnsweredZeroWithinTheBound)
{
    PutMachine(MachineStateRunning);
    StartServer();
    // Far longer than the bound, so that a request that waited for the call
    // cannot pass for one that was cut off, however slow the machine.
    const DWORD hang = PIPE_ANSWER_TIMEOUT + 15000;
    ASSERT_EQ(1, StandinSetDelay("FindMachine", hang));
    struct Ask {
        DWORD code, reply, took;
    } asks[2] = { { VrdePort, 7, 0 }, { VrdeEnabled, 7, 0 } };
    HANDLE threads[2];
    for (Ask &ask : asks) {
        threads[&ask - asks] = StartJoinableThread([](void *argument) {
            Ask *ask = (Ask *)argument;
            DWORD begun = GetTickCount();
            ask->reply = AskControlPipe(TestVmName, ask->code);
            ask->took = GetTickCount() - begun;
        }, &ask);
        Sleep(200);
    }
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForMultipleObjects(2, threads, TRUE, 2 * hang));
    StandinSetDelay("FindMachine", 0);
    for (Ask &ask : asks) {
        EXPECT_EQ(0u, ask.reply) << ask.code;
        EXPECT_GE(ask.took, PIPE_ANSWER_TIMEOUT - 500) << ask.code;
        EXPECT_LT(ask.took, hang - 5000) << ask.code;
        CloseHandle(threads[&ask - asks]);
    }
    DWORD port = 0;
    for (int i = 0; i < 400 && (port = AskControlPipe(TestVmName, VrdePort)) != 3389; i++)
        Sleep(100);
    EXPECT_EQ(3389u, port);
}

static std::vector<DWORD> PipeOpenModes;
static DWORD RefusedOpenModes;

// Records each instance's open mode; refuses those that hold the refused bits,
// as Windows does for a first instance whose name exists (Wine does not).
static HANDLE WINAPI CreateRecordedNamedPipe(LPCSTR name, DWORD mode, DWORD type, DWORD count, DWORD out, DWORD in,
                                             DWORD timeout, LPSECURITY_ATTRIBUTES sa)
{
    PipeOpenModes.push_back(mode);
    if (RefusedOpenModes != 0 && (mode & RefusedOpenModes) == RefusedOpenModes) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return ((decltype(&CreateNamedPipeA))RealCreateNamedPipe)(name, mode, type, count, out, in, timeout, sa);
}

// Only the first instance must be the pipe's first; when someone else's pipe
// of that name exists, it is logged and never served beside.
TEST_F(PipeTest, OnlyAPipeOfItsOwnIsServed)
{
    char name[PIPE_NAME_SIZE];
    ASSERT_TRUE(ComposePipeName(name, TestVmName));
    const DWORD overlappedFirst = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
    const DWORD overlapped = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    void *&realCreate = RealCreateNamedPipe;
    realCreate = ReplaceImport("kernel32.dll", "CreateNamedPipeA", (void *)CreateRecordedNamedPipe);

    PutMachine(MachineStateRunning);
    PipeOpenModes.clear();
    RefusedOpenModes = 0;
    StartServer();
    EXPECT_EQ(3389u, AskControlPipe(TestVmName, VrdePort));
    StopPipeServer();
    EXPECT_TRUE(ServerEnded());
    CloseHandle(server);
    server = NULL;
    ASSERT_LE(2u, PipeOpenModes.size());
    EXPECT_EQ(overlappedFirst, PipeOpenModes[0]);
    EXPECT_EQ(std::vector<DWORD>(PipeOpenModes.size() - 1, overlapped),
              std::vector<DWORD>(PipeOpenModes.begin() + 1, PipeOpenModes.end()));

    // The name is taken: tried for about a second, then given up.
    PipeOpenModes.clear();
    RefusedOpenModes = FILE_FLAG_FIRST_PIPE_INSTANCE;
    PipeServerRunning = 1;
    HANDLE thread = StartJoinableThread(PipeServerThread);
    bool ended = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
    if (!ended) {
        StopPipeServer();
        WaitForSingleObject(thread, 10000);
    }
    CloseHandle(thread);
    ReplaceImport("kernel32.dll", "CreateNamedPipeA", realCreate);
    EXPECT_TRUE(ended);
    EXPECT_EQ(std::vector<DWORD>(11, overlappedFirst), PipeOpenModes);
    std::vector<std::string> lines = LogMessages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(std::string("ERROR: the control pipe '") + name + "' exists already; remote display queries are not served",
              lines.back());
    EXPECT_EQ(0, std::count(lines.begin(), lines.end(), "Error creating pipe (0x00000005)"));
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
