// Which build ran: CTest names the build it meant (PELORIN_TEST_BUILD, set
// for every test), and Wine tells what actually runs, for this test program
// and for the programs beside it, started as a user would start them.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>
#include <string>

#include "test_support.h"

namespace {

// The machine field of a program's PE header; 0 when it cannot be read.
WORD ProgramMachine(const std::string &path)
{
    std::string bytes = ReadTextFile(path);
    if (bytes.size() < 0x40)
        return 0;
    DWORD header = *(const DWORD *)(bytes.data() + 0x3C);
    if (header + 6 > bytes.size() || bytes.compare(header, 4, std::string("PE\0\0", 4)) != 0)
        return 0;
    return *(const WORD *)(bytes.data() + header + 4);
}

// Whether Wine runs the program, started suspended and ended at once, under WoW64.
int StartsUnderWow64(const std::string &path)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::string line = Quote(path) + " --help";
    if (!CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, CREATE_SUSPENDED | CREATE_NO_WINDOW, NULL, NULL,
                        &startup, &process))
        return -1;
    BOOL wow64 = FALSE;
    int answer = IsWow64Process(process.hProcess, &wow64) ? (wow64 ? 1 : 0) : -1;
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return answer;
}

struct BuildFacts {
    const char *build;
    int pointerBits;
    int wow64;
    WORD machine;
};

const BuildFacts Builds[] = {
    { "x86_64", 64, 0, IMAGE_FILE_MACHINE_AMD64 },
    { "i686", 32, 1, IMAGE_FILE_MACHINE_I386 },
};

}  // namespace

TEST(BuildTest, WineRunsTheBuildThatThisRunWasMeantFor)
{
    const char *meant = getenv("PELORIN_TEST_BUILD");
    ASSERT_NE(nullptr, meant) << "CTest names the build of every test in PELORIN_TEST_BUILD";
    const BuildFacts *facts = NULL;
    for (const BuildFacts &build : Builds)
        facts = std::string(build.build) == meant ? &build : facts;
    ASSERT_NE(nullptr, facts) << meant;

    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_EQ(facts->pointerBits, (int)sizeof(void *) * 8) << "this test program";
    EXPECT_EQ(facts->wow64, wow64 ? 1 : 0) << "this test program";
    for (const char *program : { "pelorin.exe", "pelorintray.exe" }) {
        std::string path = BuiltProgramPath(program);
        EXPECT_EQ(facts->machine, ProgramMachine(path)) << path;
        EXPECT_EQ(facts->wow64, StartsUnderWow64(path)) << path;
    }
}
