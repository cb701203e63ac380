// The running service's control pipe under load and under hostile clients:
// every reply right, the service's handles and memory flat, and clients that
// send too little, too much, nothing at all, or go away keep no one else
// from being served.
#include "service_fixture.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "control_pipe.h"
#include "pipe_server.h"
#include "pipe_harness.h"
#include "process_probe.h"
#include "test_support.h"
#include "vbox_api.h"

namespace {

// Remote display on, port 3389, screen 1024 x 768.
const DWORD Expected[3] = { 1, 3389, 0x03000400 };
const int Clients = 8;
// The service answers one request at a time: the suite asks a thousand,
// which fits in about a minute, and prints the rate. PELORIN_PIPE_LOAD_REQUESTS asks for
// more (scripts/benchmark.sh pipe-load asks for 10,000), two thirds of them
// mixed and one third "enabled".
int MixedPerClient = 84;
int EnabledPerClient = 41;

void ReadRequestedLoad()
{
    const char *wanted = getenv("PELORIN_PIPE_LOAD_REQUESTS");
    int total = wanted != NULL ? atoi(wanted) : 0;
    if (total >= Clients * 3) {
        MixedPerClient = total * 2 / 3 / Clients;
        EnabledPerClient = total / Clients - MixedPerClient;
    }
}

struct Probe {
    int handles;
    int threads;
    SIZE_T bytes;
};

// Each connection is served on a thread of its own, and under Wine a live
// thread holds about 1 MiB of private bytes (its stacks are committed whole):
// one still ending after the last reply would read as a leak. So the probe
// first waits until the thread count has held for half a second.
Probe ProbeProcess(DWORD process)
{
    int threads = CountProcessThreads(process);
    for (int steady = 0, polls = 0; steady < 10 && polls < 200; polls++) {
        Sleep(50);
        int now = CountProcessThreads(process);
        steady = now == threads ? steady + 1 : 0;
        threads = now;
    }
    return { CountProcessHandles(process), threads, ProcessPrivateBytes(process) };
}

void PrintLoad(const char *what, const PipeLoad &load, const Probe &before, const Probe &after)
{
    double rate = load.requests * 1000.0 / load.milliseconds;
    printf("%s: %ld requests from %d clients at once in %lu ms, %.1f requests/s (10,000 would take %.0f s)\n", what,
           load.requests, Clients, (unsigned long)load.milliseconds, rate, 10000 / rate);
    printf("  service handles %d before, %d after; threads %d before, %d after;"
           " private bytes %lu KiB before, %lu KiB after (%+.1f KiB a request)\n",
           before.handles, after.handles, before.threads, after.threads, (unsigned long)(before.bytes / 1024),
           (unsigned long)(after.bytes / 1024), ((double)after.bytes - (double)before.bytes) / 1024 / load.requests);
}

class PipeLoadTest : public ServiceFixture {
protected:
    // Waits until the log holds at least wanted lines of the given kinds.
    size_t CountLogged(size_t wanted, std::initializer_list<const char *> kinds)
    {
        size_t count = 0;
        for (int i = 0; i < 100; i++) {
            count = 0;
            for (const std::string &line : LogMessages())
                count += std::count(kinds.begin(), kinds.end(), line);
            if (count >= wanted)
                break;
            Sleep(50);
        }
        return count;
    }
    size_t ReadErrorsLogged(size_t wanted) { return CountLogged(wanted, { "ERROR reading from client" }); }
};

// Every request of any kind is answered rightly and leaves no handle behind.
// The remote display's port and screen size are read under a lock for which
// the service hands VirtualBox a session object; under Wine each such hand-over
// leaves some 2 KiB behind in the process (seen as well with the bare lock and
// unlock calls in a loop), so private bytes are held flat for the question that
// takes no lock, the one the tray asks at every click.
TEST_F(PipeLoadTest, EightClientsAtOnceGetEveryReplyRightWithHandlesAndMemoryFlat)
{
    ReadRequestedLoad();
    ASSERT_TRUE(StartRunning());
    DWORD process = ServiceProcessId(service);
    // The first requests start what lives on: the query thread and its apartment.
    RunPipeLoad(TestVmName, Clients, 3, Expected);

    Probe before = ProbeProcess(process);
    PipeLoad mixed = RunPipeLoad(TestVmName, Clients, MixedPerClient, Expected);
    Probe middle = ProbeProcess(process);
    PipeLoad enabled = RunPipeLoad(TestVmName, Clients, EnabledPerClient, Expected, 1);
    Probe after = ProbeProcess(process);
    PrintLoad("all three requests", mixed, before, middle);
    PrintLoad("remote display enabled", enabled, middle, after);

    for (const PipeLoad &load : { mixed, enabled }) {
        EXPECT_EQ(0, load.wrongReplies);
        EXPECT_EQ(0, load.noReplies);
    }
    EXPECT_EQ(Clients * MixedPerClient, mixed.requests);
    EXPECT_EQ(Clients * EnabledPerClient, enabled.requests);
    ASSERT_GT(before.handles, 0);
    // A handle lost per request would show as hundreds.
    EXPECT_LE(middle.handles, before.handles + 16);
    EXPECT_LE(after.handles, middle.handles + 16);
    ASSERT_GT(middle.bytes, 0u);
    EXPECT_LE(after.bytes, middle.bytes + 256 * 1024);

    SERVICE_STATUS status = StopAndWait();
    EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode);
}

TEST_F(PipeLoadTest, HostileClientsKeepNoOneElseFromBeingServed)
{
    // At level 3 a silent client that the service drops is logged too: the
    // silent ones below end either way, whatever the machine's speed.
    std::string text = Ini();
    WriteTextFile(ini, text.replace(text.find("Loglevel=2"), 10, "Loglevel=3"));
    ASSERT_TRUE(StartRunning());

    // Twenty clients connect and write nothing; the others are served meanwhile.
    std::vector<HANDLE> holders;
    for (int i = 0; i < 20; i++) {
        HANDLE held = ConnectControlPipe(TestVmName);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        holders.push_back(held);
    }
    for (DWORD code = VrdeEnabled; code <= ScreenResolution; code++)
        EXPECT_EQ(Expected[code - VrdeEnabled], AskControlPipe(TestVmName, code));

    struct Case {
        const char *row;
        std::string request;
        bool readError;
    } cases[] = {
        { "1 byte", std::string(1, '\x01'), true },
        { "2 bytes", std::string(2, '\x01'), true },
        { "3 bytes", std::string("\x01\x01\x00", 3), true },
        { "64 KiB of garbage", std::string(65536, '\xA5'), false },
        { "connects and vanishes", "", true },
    };
    size_t readErrors = 0;
    for (const Case &c : cases) {
        DWORD reply = 0;
        EXPECT_EQ(0, ExchangeOnControlPipe(TestVmName, c.request.data(), (DWORD)c.request.size(), &reply)) << c.row;
        readErrors += c.readError;
        EXPECT_EQ(readErrors, ReadErrorsLogged(readErrors)) << c.row;
        EXPECT_EQ(Expected[1], AskControlPipe(TestVmName, VrdePort)) << c.row;
    }
    // A client that asks and goes before the reply.
    HANDLE asker = ConnectControlPipe(TestVmName);
    ASSERT_NE(INVALID_HANDLE_VALUE, asker);
    DWORD request = VrdePort;
    DWORD written = 0;
    WriteFile(asker, &request, sizeof(request), &written, NULL);
    CloseHandle(asker);

    // Each silent client has ended with a read error (closed here) or was
    // dropped by the service's bound (when the test took longer than that).
    for (HANDLE held : holders)
        CloseHandle(held);
    size_t ended = readErrors + holders.size();
    EXPECT_EQ(ended, CountLogged(ended, { "ERROR reading from client",
                                          "A control pipe client sent no request within 3000 ms; disconnected" }));
    EXPECT_EQ(Expected[2], AskControlPipe(TestVmName, ScreenResolution));

    SERVICE_STATUS status = StopAndWait();
    EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode);
}

// Connections that hold a thread each are capped, wait a bounded time for
// their request, and never keep a well-behaved client out for longer than
// that wait; none of them holds the stop up or stays behind.
TEST_F(PipeLoadTest, TwoHundredSilentAndTwentyNonReadingClientsHoldNoThreadForLong)
{
    std::string text = Ini();
    WriteTextFile(ini, text.replace(text.find("Loglevel=2"), 10, "Loglevel=3"));
    ASSERT_TRUE(StartRunning());
    DWORD process = ServiceProcessId(service);
    EXPECT_EQ(Expected[0], AskControlPipe(TestVmName, VrdeEnabled));
    Probe before = ProbeProcess(process);

    // The askers first, so that they hold connections of their own rather than being refused.
    std::vector<HANDLE> hostile;
    for (int i = 0; i < 20; i++) {
        HANDLE asker = ConnectControlPipe(TestVmName);
        DWORD request = VrdePort, written = 0;
        if (asker != INVALID_HANDLE_VALUE && WriteFile(asker, &request, sizeof(request), &written, NULL))
            hostile.push_back(asker);
    }
    EXPECT_EQ(20u, hostile.size());
    for (int i = 0; i < 200; i++) {
        HANDLE silent = ConnectControlPipe(TestVmName);
        if (silent != INVALID_HANDLE_VALUE)
            hostile.push_back(silent);
    }
    int flooded = CountProcessThreads(process);
    // Refused clients see the pipe closed; a well-behaved one is in once the
    // silent ones have been dropped.
    DWORD begun = GetTickCount(), reply = ~0u;
    while ((reply = AskControlPipe(TestVmName, VrdePort)) != Expected[1] && GetTickCount() - begun < 20000)
        Sleep(100);
    DWORD waited = GetTickCount() - begun;
    printf("220 hostile clients: service threads %d before, %d during; a request answered after %lu ms\n",
           before.threads, flooded, (unsigned long)waited);
    EXPECT_EQ(Expected[1], reply);
    EXPECT_LT(waited, (DWORD)PIPE_READ_TIMEOUT + 3000);
    EXPECT_LE(flooded, before.threads + PIPE_MAX_CONNECTIONS + 4);
    // The silent clients that got a connection are dropped after their 3 s.
    const std::string dropped = "A control pipe client sent no request within 3000 ms; disconnected";
    std::vector<std::string> lines;
    for (begun = GetTickCount(); GetTickCount() - begun < 10000; Sleep(100)) {
        lines = LogMessages();
        if (std::find(lines.begin(), lines.end(), dropped) != lines.end())
            break;
    }
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), dropped));

    for (HANDLE client : hostile)
        CloseHandle(client);
    Probe after = ProbeProcess(process);
    // A thread kept per connection would show as 32.
    EXPECT_LE(after.threads, before.threads + 4);
    EXPECT_LE(after.handles, before.handles + 16);

    // The stop with a pipe full of silent clients.
    hostile.clear();
    for (int i = 0; i < PIPE_MAX_CONNECTIONS; i++) {
        HANDLE silent = ConnectControlPipe(TestVmName);
        if (silent != INVALID_HANDLE_VALUE)
            hostile.push_back(silent);
    }
    // Held by the test until the service has stopped: they hold nothing of it.
    SERVICE_STATUS status = StopAndWait();
    EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    for (HANDLE client : hostile)
        CloseHandle(client);
}

}  // namespace
