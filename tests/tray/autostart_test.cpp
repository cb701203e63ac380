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

bool MenuShowsItChecked()
{
    BuildTrayMenu(PollFailed);
    return ReadMenu(TrayMenu)[4].checked;
}

typedef TrayTest AutostartTest;

TEST_F(AutostartTest, TheToggleWritesTheQuotedPathOrDeletesAnyCopysValue)
{
    PrivateCurrentUser user({ RunKey });
    const std::string path = "C:\\pt\\tray.exe", fits = "C:\\" + std::string(250, 'p') + ".exe", none = "(none)";
    const struct {
        std::string before, program, after;
    } rows[] = {
        { none, path, std::string("\"C:\\pt\\tray.exe\"\0", 17) },           // 14 characters: 17 bytes
        { "\"" + path + "\"", path, none },                                   // this copy's value
        { "\"D:\\other\\pelorintray.exe\"", path, none },                      // another copy's value
        { std::string(300, 'x'), path, "\"" + path + "\"" + '\0' },           // too long to read: unset
        { none, fits, "\"" + fits + "\"" + '\0' },                            // 257 characters fit quoted
        { none, fits + "e", none },                                          // 258 do not: nothing written
        { none, "", none },                                                  // no path, nothing to start
    };
    for (const auto &row : rows) {
        RegDeleteKeyValueA(HKEY_CURRENT_USER, RunKey, "pelorintray");
        if (row.before != none)
            WriteRegistryText(HKEY_CURRENT_USER, RunKey, "pelorintray", row.before);
        lstrcpynA(TrayProgramPath, row.program.c_str(), sizeof(TrayProgramPath));
        EXPECT_EQ(row.before != none && row.before.size() < MAX_PATH, MenuShowsItChecked()) << row.before;
        TrayDialogProc(NULL, WM_COMMAND, IDM_LOGON_AUTOSTART, 0);
        EXPECT_EQ(row.after, ReadRegistryValue(HKEY_CURRENT_USER, RunKey, "pelorintray")) << row.program;
        EXPECT_EQ(row.after != none, MenuShowsItChecked()) << row.program;
    }
    // Toggling twice comes back to the start.
    lstrcpynA(TrayProgramPath, path.c_str(), sizeof(TrayProgramPath));
    EXPECT_EQ(0, ToggleAutostartOnLogon());
    EXPECT_EQ(0, ToggleAutostartOnLogon());
    EXPECT_EQ(none, ReadRegistryValue(HKEY_CURRENT_USER, RunKey, "pelorintray"));
}

} // namespace
