// The control pipe client against scripted servers of the test's own.
#include <gtest/gtest.h>

#include <memory>

#include "control_pipe.h"
#include "pipe_client.h"
#include "scripted_pipe.h"

namespace {

// Each row asks all three questions: "enabled port result width height".
std::string AskAll(const std::string &vm, DWORD process = ANY_PIPE_SERVER)
{
    int width = 77, height = 77;
    int enabled = RequestVrdeEnabled(vm.c_str(), process), port = RequestVrdePort(vm.c_str(), process);
    int result = RequestScreenResolution(vm.c_str(), &width, &height, process);
    char answers[64];
    snprintf(answers, sizeof(answers), "%d %d %d %d %d", enabled, port, result, width, height);
    return answers;
}

TEST(PipeClientTest, EachRequestGetsItsReplyOrItsFailureValue)
{
    const std::map<DWORD, DWORD> none, all = { { VrdeEnabled, 1 }, { VrdePort, 3389 }, { ScreenResolution, 0x03000400 } };
    const struct {
        bool listening;
        std::map<DWORD, DWORD> replies;
        const char *answers;
        std::vector<DWORD> parts = { 4 };
        bool otherProcess = false; // the scripted server runs in this process
    } rows[] = {
        { true, { { VrdeEnabled, 1 }, { VrdePort, 3389 }, { ScreenResolution, 0x03000400 } }, "1 3389 1 1024 768" },
        { true, { { VrdeEnabled, 0 }, { VrdePort, 0 }, { ScreenResolution, 0 } }, "0 0 1 0 0" },
        { true, none, "0 0 1 0 0" },    // the server closes without replying
        { false, none, "0 -1 -1 0 0" }, // the service is stopped: no pipe
        { true, all, "1 3389 1 1024 768", { 2, 2 } }, // the reply comes in two parts
        { true, all, "0 0 1 0 0", { 3 } },            // a short reply counts as none
        { true, all, "0 0 1 0 0", { 4 }, true },      // another program's pipe is not asked
    };
    for (const auto &row : rows) {
        std::string vm = UniqueVmName("Pipe client");
        std::unique_ptr<ScriptedPipeServer> server(row.listening ? new ScriptedPipeServer(vm, row.replies, 0, row.parts)
                                                                 : NULL);
        EXPECT_EQ(row.answers, AskAll(vm, GetCurrentProcessId() + (row.otherProcess ? 4 : 0))) << &row - rows;
        if (server && !row.otherProcess) {
            EXPECT_EQ(std::vector<DWORD>({ VrdeEnabled, VrdePort, ScreenResolution }), server->Requests());
        }
    }
    // A name too long for the pipe is refused before any pipe is opened; the
    // longest one that fits is asked for.
    EXPECT_EQ(0, CountPipeOpens([]() { EXPECT_EQ("0 0 0 0 0", AskAll(std::string(254, 'M'))); }));
    EXPECT_EQ(3, CountPipeOpens([]() { AskAll(std::string(PIPE_NAME_SIZE - 18, 'M')); }));
}

// A service that answers late or never, or whose every instance is taken,
// costs each request the client's bound, not the wait for a reply, and gives
// the failure values.
TEST(PipeClientTest, LateSilentOrBusyServicesCostEachRequestTheBoundAtMost)
{
    const std::map<DWORD, DWORD> all = { { VrdeEnabled, 1 }, { VrdePort, 3389 }, { ScreenResolution, 0x03000400 } };
    const struct {
        const char *server;
        DWORD delay;
        bool busy;      // every instance taken for good
        int busyOnce;   // the first open finds every instance taken
        const char *answers;
        size_t opens;
    } rows[] = {
        { "answers after 0.5 s", 500, false, 0, "1 3389 1 1024 768", 3 },
        { "answers after 10 s", 10000, false, 0, "0 0 1 0 0", 3 },
        { "never answers", NEVER_REPLY, false, 0, "0 0 1 0 0", 3 },
        { "busy at the first open", 0, false, 1, "1 3389 1 1024 768", 4 },
        { "busy for good", 0, true, 0, "0 -1 -1 0 0", 3 }, // no instance comes free in the wait
    };
    for (const auto &row : rows) {
        std::string vm = UniqueVmName("Pipe client bound");
        std::unique_ptr<ScriptedPipeServer> server(row.busy ? NULL : new ScriptedPipeServer(vm, all, row.delay));
        std::unique_ptr<BusyPipe> busy(row.busy ? new BusyPipe(vm) : NULL);
        std::string answers;
        DWORD start = GetTickCount();
        std::vector<DWORD> opens = RecordPipeOpens([&]() { answers = AskAll(vm); }, row.busyOnce);
        DWORD elapsed = GetTickCount() - start;
        EXPECT_EQ(row.answers, answers) << row.server;
        // Well below the 30 s of a client that waited for the 10 s replies,
        // with all the room a busy machine may need.
        EXPECT_LT(elapsed, (DWORD)25000) << row.server;
        EXPECT_EQ(row.opens, opens.size()) << row.server;
        for (DWORD flags : opens) {
            EXPECT_EQ((DWORD)(FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION), flags)
                << row.server;
        }
    }
}

} // namespace
