#include "windows_xp.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "test_support.h"

bool IsWindowsXp(void)
{
    return LOBYTE(GetVersion()) == 5;
}

int RunCurrentTestOnWindowsXp(std::string *output)
{
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string folder = MakeTestFolder(std::string("windows xp ") + test->name());
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof(self));
    // The key names the program file, so the copy has a name of its own.
    std::string copy = folder + "pelorin_xp_check.exe";
    CopyFileA(self, copy.c_str(), FALSE);
    const char *key = "Software\\Wine\\AppDefaults\\pelorin_xp_check.exe";
    RegSetKeyValueA(HKEY_CURRENT_USER, key, "Version", REG_SZ, "winxp", 6);
    int code = RunProgram(Quote(copy) + " --gtest_filter=" + test->test_suite_name() + "." + test->name(), output);
    RegDeleteTreeA(HKEY_CURRENT_USER, key);
    return code;
}
