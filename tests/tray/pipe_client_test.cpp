// The control pipe client against scripted servers of the test's own.
#include <gtest/gtest.h>

#include <memory>

#include "control_pipe.h"
#include "import_hook.h"
#include "pipe_client.h"
#include "scripted_pipe.h"

namespace {

typedef HANDLE(WINAPI *CreateFileFunction)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
CreateFileFunction RealCreateFile;
int PipesOpened;

HANDLE WINAPI CountingCreateFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE model)
{
    PipesOpened += strncmp(name, "\\\\.\\pipe\\", 9) == 0;
    return RealCreateFile(name, access, share, security, disposition, flags, model);
}

TEST(PipeClientTest, EachRequestGetsItsReplyOrItsFailureValue)
{
    const std::map<DWORD, DWORD> none;
    const struct {
        const char *name;
        bool listening;
        std::map<DWORD, DWORD> replies;
        int enabled, port, resolution, width, height;
    } rows[] = {
        { "enabled, port 3389, 1024 x 768", true,
          { { VrdeEnabled, 1 }, { VrdePort, 3389 }, { ScreenResolution, 0x03000400 } }, 1, 3389, 1, 1024, 768 },
        { "disabled, not running", true, { { VrdeEnabled, 0 }, { VrdePort, 0 }, { ScreenResolution, 0 } }, 0, 0, 1, 0, 0 },
        { "closes without replying", true, none, 0, 0, 1, 0, 0 },
        { "service stopped: no pipe", false, none, 0, -1, -1, 0, 0 },
    };
    for (const auto &row : rows) {
        std::string vm = UniqueVmName("Pipe client");
        std::unique_ptr<ScriptedPipeServer> server(row.listening ? new ScriptedPipeServer(vm, row.replies) : NULL);
        int width = 77, height = 77;
        EXPECT_EQ(row.enabled, RequestVrdeEnabled(vm.c_str())) << row.name;
        EXPECT_EQ(row.port, RequestVrdePort(vm.c_str())) << row.name;
        EXPECT_EQ(row.resolution, RequestScreenResolution(vm.c_str(), &width, &height)) << row.name;
        EXPECT_EQ(row.width, width) << row.name;
        EXPECT_EQ(row.height, height) << row.name;
        if (server) {
            EXPECT_EQ(std::vector<DWORD>({ VrdeEnabled, VrdePort, ScreenResolution }), server->Requests()) << row.name;
        }
    }
}

TEST(PipeClientTest, AMachineNameTooLongForThePipeIsRefusedBeforeAnyPipeIsOpened)
{
    std::string vm(254, 'M');
    RealCreateFile = (CreateFileFunction)ReplaceImport("kernel32.dll", "CreateFileA", (void *)CountingCreateFile);
    ASSERT_TRUE(RealCreateFile != NULL);
    int width = 77, height = 77;
    EXPECT_EQ(0, RequestVrdeEnabled(vm.c_str()));
    EXPECT_EQ(0, RequestVrdePort(vm.c_str()));
    EXPECT_EQ(0, RequestScreenResolution(vm.c_str(), &width, &height));
    EXPECT_EQ(0, width);
    EXPECT_EQ(0, height);
    // The longest name that fits is asked for, so the count would have seen the pipe.
    RequestVrdeEnabled(std::string(PIPE_NAME_SIZE - 18, 'M').c_str());
    ReplaceImport("kernel32.dll", "CreateFileA", (void *)RealCreateFile);
    EXPECT_EQ(1, PipesOpened);
}

} // namespace
