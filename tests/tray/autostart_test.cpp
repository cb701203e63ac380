// The tray helper's start at logon: its Run value, the menu's check mark and the command.
#include <gtest/gtest.h>

#include "autostart.h"
#include "command_ids.h"
#include "private_registry.h"
#include "service_list.h"
#include "tray_menu.h"
#include "tray_shell.h"
#include "tray_test_support.h"

namespace {

const char *RunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// The value's bytes as stored, or "(none)".
std::string RunValue()
{
    char data[1024];
    DWORD size = sizeof(data), type = 0;
    if (RegGetValueA(HKEY_CURRENT_USER, RunKey, "pelorintray", RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) != 0)
        return "(none)";
    return (type == REG_SZ ? "" : "(type " + std::to_string(type) + ") ") + std::string(data, size);
}

void SetRunValue(const std::string &data)
{
    RegSetKeyValueA(HKEY_CURRENT_USER, RunKey, "pelorintray", REG_SZ, data.c_str(), (DWORD)data.size() + 1);
}

bool MenuShowsItChecked()
{
    BuildTrayMenu(PollFailed);
    return ReadMenu(TrayMenu)[4].checked;
}

typedef TrayTest AutostartTest;

TEST_F(AutostartTest, TheToggleWritesTheQuotedPathOrDeletesAnyCopysValue)
{
    PrivateCurrentUser user;
    HKEY run;
    ASSERT_EQ(0, RegCreateKeyA(HKEY_CURRENT_USER, RunKey, &run));
    RegCloseKey(run);
    const std::string path14 = "C:\\pt\\tray.exe";
    const std::string fits = "C:\\" + std::string(250, 'p') + ".exe", tooLong = fits + "e";
    const std::string none = "(none)";
    const struct {
        const char *name;
        std::string before, program, after;
    } rows[] = {
        { "unset: the quoted path and a zero byte", none, path14, std::string("\"C:\\pt\\tray.exe\"\0", 17) },
        { "this copy's value: deleted", "\"" + path14 + "\"", path14, none },
        { "another copy's value: deleted", "\"D:\\other\\pelorintray.exe\"", path14, none },
        { "too long to read: unset, overwritten", std::string(300, 'x'), path14, "\"" + path14 + "\"" + '\0' },
        { "the longest path that fits quoted", none, fits, "\"" + fits + "\"" + '\0' },
        { "a path too long to quote: nothing", none, tooLong, none },
        { "no path: nothing", none, "", none },
    };
    for (const auto &row : rows) {
        RegDeleteKeyValueA(HKEY_CURRENT_USER, RunKey, "pelorintray");
        if (row.before != none)
            SetRunValue(row.before);
        lstrcpynA(TrayProgramPath, row.program.c_str(), sizeof(TrayProgramPath));
        bool set = row.before != none && row.before.size() < MAX_PATH;
        EXPECT_EQ(set, MenuShowsItChecked()) << row.name;
        TrayDialogProc(NULL, WM_COMMAND, IDM_LOGON_AUTOSTART, 0);
        EXPECT_EQ(row.after, RunValue()) << row.name;
        EXPECT_EQ(row.after != none, MenuShowsItChecked()) << row.name;
    }
    // Toggling twice comes back to the start.
    lstrcpynA(TrayProgramPath, path14.c_str(), sizeof(TrayProgramPath));
    EXPECT_EQ(0, ToggleAutostartOnLogon());
    EXPECT_EQ(0, ToggleAutostartOnLogon());
    EXPECT_EQ(none, RunValue());
}

} // namespace
