// The update check against a local HTTP server reached through http_proxy,
// with its message boxes read and answered.
#include <gtest/gtest.h>

#include <windows.h>
#include <wininet.h>

#include "command_ids.h"
#include "import_hook.h"
#include "local_http.h"
#include "message_box_answerer.h"
#include "resource.h"
#include "service_list.h"
#include "shell_execute_recorder.h"
#include "test_support.h"
#include "tray_menu.h"
#include "tray_shell.h"
#include "tray_test_support.h"
#include "update_check.h"

namespace {

const std::string Offer = "New version 0.4.2 is available!\nDo you want to visit the download page now?";

class UpdateCheckTest : public TrayTest {
protected:
    LocalHttpServer server;
    void SetUp() override
    {
        TrayTest::SetUp();
        SetEnvironmentVariableA("http_proxy", server.ProxyAddress().c_str());
        // Version 0.4.1, the product version of the program's own version block.
        lstrcpynA(TrayProgramPath, BuiltProgramPath("pelorintray.exe").c_str(), sizeof(TrayProgramPath));
    }
};

std::string Calls;
void *RealOpen, *RealOpenUrl, *RealVerQuery;

HINTERNET WINAPI RecordOpen(LPCSTR agent, DWORD access, LPCSTR proxy, LPCSTR bypass, DWORD flags)
{
    Calls += std::string("open ") + agent + " " + std::to_string(access) + " " + (proxy ? proxy : "-") + " " +
             (bypass ? bypass : "-") + " " + std::to_string(flags) + "\n";
    return ((HINTERNET(WINAPI *)(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD))RealOpen)(agent, access, proxy, bypass, flags);
}

HINTERNET WINAPI RecordOpenUrl(HINTERNET internet, LPCSTR url, LPCSTR headers, DWORD length, DWORD flags,
                               DWORD_PTR context)
{
    char hex[16];
    snprintf(hex, sizeof(hex), "%08lx", flags);
    Calls += std::string("url ") + url + " " + (headers ? headers : "-") + " " + std::to_string(length) + " " + hex +
             " " + std::to_string(context) + "\n";
    return ((HINTERNET(WINAPI *)(HINTERNET, LPCSTR, LPCSTR, DWORD, DWORD, DWORD_PTR))RealOpenUrl)(
        internet, url, headers, length, flags, context);
}

TEST_F(UpdateCheckTest, TheRequestIsOnePlainGetWithTheProgramsVersionAsUserAgent)
{
    server.ReplyWith("1025,http://download.test/");
    RealOpen = ReplaceImport("wininet.dll", "InternetOpenA", (void *)RecordOpen);
    RealOpenUrl = ReplaceImport("wininet.dll", "InternetOpenUrlA", (void *)RecordOpenUrl);
    EXPECT_EQ(PACKED_VERSION(0u, 4u, 1u), CheckForUpdates(1));
    ReplaceImport("wininet.dll", "InternetOpenA", RealOpen);
    ReplaceImport("wininet.dll", "InternetOpenUrlA", RealOpenUrl);
    // Preconfigured access, no cache write, no cookies, no user interface.
    EXPECT_EQ("open pelorin/0.4.1 0 - - 0\nurl http://" PELORIN_UPDATE_HOST "/updatecheck/pelorin - 0 04080200 0\n",
              Calls);
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    // Through a proxy the request names the whole address (Wine adds the port).
    EXPECT_EQ(0u, requests[0].find("GET http://" PELORIN_UPDATE_HOST ":80/updatecheck/pelorin HTTP/1.1\r\n"))
        << requests[0];
    EXPECT_NE(std::string::npos, (requests[0] + "\r\n").find("\r\nUser-Agent: pelorin/0.4.1\r\n")) << requests[0];
}

TEST_F(UpdateCheckTest, RepliesAreSplitComparedAndOfferedOrIgnored)
{
    const std::string longest = "http://download.test/" + std::string(127 - 21, 'a');
    const struct {
        const char *name;
        std::string body, status;
        int silent, answer;
        DWORD offered;
        std::string caption, text, opened; // empty: no box, nothing opened
    } rows[] = {
        { "newer, asked, No", "1026,http://download.test/", "200 OK", 0, IDNO, 1026, "Pelorin update available", Offer, "" },
        { "newer, silent, Yes, line break kept", "1026,http://download.test/\r\n", "200 OK", 1, IDYES, 1026,
          "Pelorin update available", Offer, "http://download.test/\r\n" },
        { "equal, asked", "1025,http://download.test/", "200 OK", 0, IDOK, 1025, "No updates available",
          "Pelorin is up to date.", "" },
        { "equal, silent", "1025,http://download.test/", "200 OK", 1, IDOK, 1025, "", "", "" },
        { "lower, asked", "1024,http://download.test/", "200 OK", 0, IDOK, 1024, "No updates available",
          "Pelorin is up to date.", "" },
        { "lower, silent", "1024,http://download.test/", "200 OK", 1, IDOK, 1024, "", "", "" },
        { "leading commas, any case of https", ",,65536,,HTTPS://download.test/x,more", "200 OK", 0, IDYES, 65536,
          "Pelorin update available",
          "New version 1.0.0 is available!\nDo you want to visit the download page now?", "HTTPS://download.test/x" },
        { "cut at 255 bytes", std::string(224, ' ') + "1026,http://download.test/abcdefghij", "200 OK", 0, IDYES, 1026,
          "Pelorin update available", Offer, "http://download.test/abcde" },
        { "no comma", "1026 http://download.test/", "200 OK", 0, IDOK, 0, "", "", "" },
        { "version not a number", "new,http://download.test/", "200 OK", 0, IDOK, 0, "No updates available",
          "Pelorin is up to date.", "" },
        { "error page with a comma", "1026,http://download.test/", "404 Not Found", 0, IDNO, 1026,
          "Pelorin update available", Offer, "" },
        { "a local program", "1026,C:\\Windows\\system32\\calc.exe", "200 OK", 0, IDYES, 0, "", "", "" },
        { "a file address", "1026,file:///C:/Windows/system32/calc.exe", "200 OK", 0, IDYES, 0, "", "", "" },
        { "a share", "1026,\\\\server\\share\\setup.exe", "200 OK", 0, IDYES, 0, "", "", "" },
        { "no second field", "1026,", "200 OK", 0, IDYES, 0, "", "", "" },
        { "an address of 128 characters", "1026," + longest + "a", "200 OK", 0, IDYES, 0, "", "", "" },
        { "an address of 127 characters", "1026," + longest, "200 OK", 0, IDYES, 1026, "Pelorin update available",
          Offer, longest },
    };
    for (const auto &row : rows) {
        server.ReplyWith(row.body, row.status);
        ShellExecuteRecorder recorder(false);
        std::vector<SeenMessageBox> seen;
        {
            MessageBoxAnswerer answerer(row.answer);
            EXPECT_EQ(row.offered, CheckForUpdates(row.silent)) << row.name;
            seen = answerer.Seen();
        }
        ASSERT_EQ(row.caption.empty() ? 0u : 1u, seen.size()) << row.name;
        if (!seen.empty()) {
            EXPECT_EQ(row.caption, seen[0].caption) << row.name;
            EXPECT_EQ(row.text, seen[0].text) << row.name;
            EXPECT_EQ(row.text == Offer || row.answer == IDYES ? "yes no" : "ok", seen[0].buttons) << row.name;
        }
        ASSERT_EQ(row.opened.empty() ? 0u : 1u, recorder.calls.size()) << row.name;
        if (!row.opened.empty()) {
            EXPECT_EQ("open", recorder.calls[0].verb);
            EXPECT_EQ(row.opened, recorder.calls[0].file) << row.name;
            EXPECT_EQ("(null)", recorder.calls[0].parameters);
            EXPECT_EQ(0u, recorder.calls[0].mask);
            EXPECT_EQ(SW_SHOWNORMAL, recorder.calls[0].show);
        }
    }
}

BOOL WINAPI FailVerQuery(LPCVOID, LPCSTR, LPVOID *, PUINT)
{
    return FALSE;
}

TEST_F(UpdateCheckTest, WithoutItsOwnVersionTheProgramDoesNotAsk)
{
    server.ReplyWith("1026,http://download.test/");
    MessageBoxAnswerer answerer(IDNO);
    lstrcpynA(TrayProgramPath, BuiltProgramPath("keepalive.exe").c_str(), sizeof(TrayProgramPath));
    EXPECT_EQ(0u, CheckForUpdates(0)) << "no version block";
    lstrcpynA(TrayProgramPath, BuiltProgramPath("pelorintray.exe").c_str(), sizeof(TrayProgramPath));
    RealVerQuery = ReplaceImport("version.dll", "VerQueryValueA", (void *)FailVerQuery);
    EXPECT_EQ(0u, CheckForUpdates(0)) << "VerQueryValueA fails";
    ReplaceImport("version.dll", "VerQueryValueA", RealVerQuery);
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_TRUE(answerer.Seen().empty());
}

TEST_F(UpdateCheckTest, StartUpChecksSilentlyAndTheMenuCommandAsks)
{
    server.ReplyWith("1026,http://download.test/");
    std::string folder = MakeTestFolder("tray update start-up");
    UseTrayFolder(folder);
    CopyBuiltProgram("pelorintray.exe", folder, "pelorintray.exe");
    MessageBoxAnswerer answerer(IDNO);
    StartTrayShell(GetModuleHandleA(NULL));
    HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_TRAY), NULL, TrayDialogProc, 0);
    ASSERT_TRUE(dialog != NULL);
    server.ReplyWith("1025,http://download.test/");
    SendMessageA(dialog, WM_COMMAND, IDM_CHECK_UPDATES, 0);
    DestroyTrayMenu();
    CleanupTray();
    DestroyWindow(dialog);
    std::vector<SeenMessageBox> seen = answerer.Seen();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(Offer, seen[0].text);
    EXPECT_EQ("Pelorin is up to date.", seen[1].text);
    EXPECT_EQ(2u, server.Requests().size());
}

} // namespace
