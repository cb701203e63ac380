// The update check against a local HTTP server reached through http_proxy,
// with its message boxes read and answered.
#include <gtest/gtest.h>

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
#include "wininet_recorder.h"

namespace {

const std::string Offer042 = "Pelorin update available|New version 0.4.2 is available!\n"
                             "Do you want to visit the download page now?|yes no";
const std::string UpToDate = "No updates available|Pelorin is up to date.|ok";

// Runs a check to its end, as the tray's message loop would.
DWORD RunCheck(int silent)
{
    CheckForUpdates(silent);
    EXPECT_TRUE(PumpMessagesUntil([]() { return !UpdateCheck.Running; }, 30000));
    return UpdateCheck.Offered;
}

class UpdateCheckTest : public TrayTest {
protected:
    LocalHttpServer server;
    void SetUp() override
    {
        TrayTest::SetUp();
        SetEnvironmentVariableA("http_proxy", server.ProxyAddress().c_str());
        // Its version block says 0.4.1.
        lstrcpynA(TrayProgramPath, BuiltProgramPath("pelorintray.exe").c_str(), sizeof(TrayProgramPath));
    }
};

TEST_F(UpdateCheckTest, TheRequestIsOnePlainGetWithTheProgramsVersionAsUserAgent)
{
    server.ReplyWith("1025,http://download.test/");
    // Preconfigured access, asynchronous; a few seconds for each step; no
    // cache write, no cookies, no user interface.
    EXPECT_EQ("open pelorin/0.4.1 0 - - 10000000\noption 2 5000\noption 5 5000\noption 6 5000\n"
              "connect " PELORIN_UPDATE_HOST " 80 - - 3 00000000 context\n"
              "request GET /updatecheck/pelorin - - - 04080200 context\noption 2 5000\noption 5 5000\noption 6 5000\n",
              RecordWinInetOpens([]() { EXPECT_EQ(1025u, RunCheck(1)); }));
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    // Through a proxy the request names the whole address (Wine adds the port).
    EXPECT_EQ(0u, requests[0].find("GET http://" PELORIN_UPDATE_HOST ":80/updatecheck/pelorin HTTP/1.1\r\n"));
    EXPECT_NE(std::string::npos, (requests[0] + "\r\n").find("\r\nUser-Agent: pelorin/0.4.1\r\n")) << requests[0];
}

TEST_F(UpdateCheckTest, RepliesAreSplitComparedAndOfferedOrIgnored)
{
    const std::string page = "http://download.test/", longest = page + std::string(127 - 21, 'a');
    const struct {
        std::string body;
        int silent, answer;
        DWORD offered;
        std::string box, opened; // empty: no box, nothing opened
        std::string status = "200 OK";
        DWORD msPerByte = 0;
    } rows[] = {
        { "1026," + page, 0, IDNO, 1026, Offer042, "" },
        { "1026," + page + "\r\n", 1, IDYES, 1026, Offer042, page + "\r\n" }, // nothing trimmed
        { "1025," + page, 0, IDOK, 1025, UpToDate, "" },
        { "1025," + page, 1, IDOK, 1025, "", "" },
        { "1024," + page, 0, IDOK, 1024, UpToDate, "" },
        { "1024," + page, 1, IDOK, 1024, "", "" },
        { ",,65536,,HTTPS://download.test/x,more", 0, IDYES, 65536,
          "Pelorin update available|New version 1.0.0 is available!\nDo you want to visit the download page now?|yes no",
          "HTTPS://download.test/x" },
        { std::string(224, ' ') + "1026," + page + "abcdefghij", 0, IDYES, 1026, Offer042, page + "abcde" }, // 255 bytes
        { "1026 " + page, 0, IDOK, 0, "", "" },                // no comma
        { "new," + page, 0, IDOK, 0, UpToDate, "" },           // not a number: 0
        { "1026," + page, 0, IDNO, 1026, Offer042, "", "404 Not Found" },
        { "1026,C:\\Windows\\system32\\calc.exe", 0, IDYES, 0, "", "" },
        { "1026,file:///C:/Windows/system32/calc.exe", 0, IDYES, 0, "", "" },
        { "1026,\\\\server\\share\\setup.exe", 0, IDYES, 0, "", "" },
        { "1026,", 0, IDYES, 0, "", "" },                      // no second field
        { "1026," + longest + "a", 0, IDYES, 0, "", "" },       // 128 characters: not cut, not offered
        { "1026," + longest, 0, IDYES, 1026, Offer042, longest },
        // Read to its end, however it comes in parts.
        { "1026," + page, 0, IDNO, 1026, Offer042, "", "200 OK", 10 },
    };
    for (const auto &row : rows) {
        server.ReplyRaw("HTTP/1.1 " + row.status + "\r\nContent-Length: " + std::to_string(row.body.size()) +
                            "\r\nConnection: close\r\n\r\n" + row.body,
                        row.msPerByte);
        ShellExecuteRecorder shell(false);
        MessageBoxAnswerer answerer(row.answer);
        EXPECT_EQ(row.offered, RunCheck(row.silent)) << row.body;
        EXPECT_EQ(row.box.empty() ? std::vector<std::string>() : std::vector<std::string>({ row.box }),
                  answerer.Seen()) << row.body;
        EXPECT_EQ(row.opened.empty() ? std::vector<std::string>()
                                     : std::vector<std::string>({ "open|" + row.opened + "|(null)|-|0|1" }),
                  shell.Lines()) << row.body;
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
    EXPECT_EQ(0u, RunCheck(0)) << "no version block";
    lstrcpynA(TrayProgramPath, BuiltProgramPath("pelorintray.exe").c_str(), sizeof(TrayProgramPath));
    void *real = ReplaceImport("version.dll", "VerQueryValueA", (void *)FailVerQuery);
    EXPECT_EQ(0u, RunCheck(0)) << "VerQueryValueA fails";
    ReplaceImport("version.dll", "VerQueryValueA", real);
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_TRUE(answerer.Seen().empty());
}

TEST_F(UpdateCheckTest, StartUpChecksSilentlyAndTheMenuCommandAsks)
{
    std::string folder = MakeTestFolder("tray update start-up");
    UseTrayFolder(folder);
    CopyBuiltProgram("pelorintray.exe", folder, "pelorintray.exe");
    MessageBoxAnswerer answerer(IDNO);
    // The start-up check's reply takes seconds: the menu's check, asked for
    // meanwhile, is that one, and it speaks.
    server.ReplyRaw("HTTP/1.1 200 OK\r\nContent-Length: 26\r\n\r\n1025,http://download.test/", 30);
    HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_TRAY), NULL, TrayDialogProc, 0);
    ASSERT_TRUE(dialog != NULL);
    EXPECT_TRUE(UpdateCheck.Running && UpdateCheck.Silent);
    SendMessageA(dialog, WM_COMMAND, IDM_CHECK_UPDATES, 0);
    EXPECT_TRUE(PumpMessagesUntil([]() { return !UpdateCheck.Running; }, 30000));
    DestroyTrayMenu();
    CleanupTray();
    DestroyWindow(dialog);
    EXPECT_EQ(std::vector<std::string>({ UpToDate }), answerer.Seen());
    EXPECT_EQ(1u, server.Requests().size());
}

} // namespace
