// The control pipe client against scripted servers of the test's own.
#include <gtest/gtest.h>

#include <memory>

#include "control_pipe.h"
#include "pipe_client.h"
#include "scripted_pipe.h"

namespace {

// Each row asks all three questions: "enabled port result width height".
std::string AskAll(const std::string &vm)
{
    int width = 77, height = 77;
    int enabled = RequestVrdeEnabled(vm.c_str()), port = RequestVrdePort(vm.c_str());
    int result = RequestScreenResolution(vm.c_str(), &width, &height);
    char answers[64];
    snprintf(answers, sizeof(answers), "%d %d %d %d %d", enabled, port, result, width, height);
    return answers;
}

TEST(PipeClientTest, EachRequestGetsItsReplyOrItsFailureValue)
{
    const std::map<DWORD, DWORD> none;
    const struct {
        bool listening;
        std::map<DWORD, DWORD> replies;
        const char *answers;
    } rows[] = {
        { true, { { VrdeEnabled, 1 }, { VrdePort, 3389 }, { ScreenResolution, 0x03000400 } }, "1 3389 1 1024 768" },
        { true, { { VrdeEnabled, 0 }, { VrdePort, 0 }, { ScreenResolution, 0 } }, "0 0 1 0 0" },
        { true, none, "0 0 1 0 0" },    // the server closes without replying
        { false, none, "0 -1 -1 0 0" }, // the service is stopped: no pipe
    };
    for (const auto &row : rows) {
        std::string vm = UniqueVmName("Pipe client");
        std::unique_ptr<ScriptedPipeServer> server(row.listening ? new ScriptedPipeServer(vm, row.replies) : NULL);
        EXPECT_EQ(row.answers, AskAll(vm));
        if (server) {
            EXPECT_EQ(std::vector<DWORD>({ VrdeEnabled, VrdePort, ScreenResolution }), server->Requests());
        }
    }
    // A name too long for the pipe is refused before any pipe is opened; the
    // longest one that fits is asked for.
    EXPECT_EQ(0, CountPipeOpens([]() { EXPECT_EQ("0 0 0 0 0", AskAll(std::string(254, 'M'))); }));
    EXPECT_EQ(3, CountPipeOpens([]() { AskAll(std::string(PIPE_NAME_SIZE - 18, 'M')); }));
}

} // namespace
