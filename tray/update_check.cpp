#include "update_check.h"

#include <wininet.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "service_list.h"
#include "shell_open.h"
#include "version_info.h"

// The host comes from the build (PELORIN_UPDATE_HOST in CMake).
#define UPDATE_PATH "/updatecheck/pelorin"
#define ADDRESS_SIZE 128
#define REPLY_SIZE 256

#define WM_UPDATE_STEP (WM_APP + 1)
#define UPDATE_TIMER 1

UpdateCheckRecord UpdateCheck;

// What only the check's own steps use.
static struct {
    HWND Window;       // receives the steps and the time-out; lives as long as the program
    DWORD_PTR Context; // tells this check's steps from those of an earlier one
    DWORD Own;
    HINTERNET Internet, Connection, Request;
    char Reply[REPLY_SIZE];
    DWORD Length;
    DWORD Read;  // written by a read that finishes later
    int Reading; // such a read is under way
} Check;

// Splits "<version>,<address>" with strtok (empty fields skipped). Returns
// 0 unless both fields are there and the address is a whole web address:
// the reply comes over plain HTTP, so anything else (a program, a file, a
// share) could be slipped in for the user's click to run.
static int ParseReply(char *reply, DWORD *offered, char *address)
{
    const char *version = strtok(reply, ",");
    const char *page = strtok(NULL, ",");
    if (version == NULL || page == NULL || strlen(page) >= ADDRESS_SIZE)
        return 0;
    if (_strnicmp(page, "http://", 7) != 0 && _strnicmp(page, "https://", 8) != 0)
        return 0;
    *offered = (DWORD)atoi(version);
    strcpy(address, page);
    return 1;
}

static void OfferUpdate(DWORD offered, const char *address)
{
    char question[128];
    snprintf(question, sizeof(question),
             "New version %d.%d.%d is available!\nDo you want to visit the download page now?",
             (int)((offered >> 16) & 0xFF), (int)((offered >> 8) & 0xFF), (int)(offered & 0xFF));
    if (MessageBoxA(NULL, question, "Pelorin update available", MB_YESNO) == IDYES)
        OpenWithShell(address, NULL, NULL);
}

void EndUpdateCheck(void)
{
    if (!UpdateCheck.Running)
        return;
    KillTimer(Check.Window, UPDATE_TIMER);
    // Closing the request abandons a step under way; a late report of it is
    // told apart by its context.
    if (Check.Request != NULL)
        InternetCloseHandle(Check.Request);
    if (Check.Connection != NULL)
        InternetCloseHandle(Check.Connection);
    InternetCloseHandle(Check.Internet);
    Check.Request = Check.Connection = Check.Internet = NULL;
    UpdateCheck.Running = 0;
}

// The whole reply has come: the connection ends before any question is
// asked, so that a message box left open holds nothing.
static void JudgeReply(void)
{
    int silent = UpdateCheck.Silent;
    EndUpdateCheck();
    DWORD offered = 0;
    char address[ADDRESS_SIZE];
    // Whatever body came back, an error page too, is judged alike.
    if (!ParseReply(Check.Reply, &offered, address))
        return;
    UpdateCheck.Offered = offered;
    if (offered > Check.Own)
        OfferUpdate(offered, address);
    else if (!silent)
        MessageBoxA(NULL, "Pelorin is up to date.", "No updates available", MB_OK);
}

// Takes what a read brought; 1 when the reply is complete: it has ended, or
// it fills the buffer (the rest is not needed).
static int TakeRead(void)
{
    Check.Length += Check.Read;
    return Check.Read == 0 || Check.Length == REPLY_SIZE - 1;
}

// Goes on after a step that ended: reads what has come of the reply until a
// step is under way again, or the reply is complete and judged. A step that
// failed ends the check without a word.
static void ContinueUpdateCheck(BOOL succeeded)
{
    if (!succeeded) {
        EndUpdateCheck();
        return;
    }
    if (Check.Reading) {
        Check.Reading = 0;
        if (TakeRead()) {
            JudgeReply();
            return;
        }
    }
    for (;;) {
        DWORD available = 0;
        if (!InternetQueryDataAvailable(Check.Request, &available, 0, 0)) {
            if (GetLastError() != ERROR_IO_PENDING)
                EndUpdateCheck();
            return;
        }
        if (available == 0)
            break;
        DWORD room = REPLY_SIZE - 1 - Check.Length;
        Check.Read = 0;
        if (!InternetReadFile(Check.Request, Check.Reply + Check.Length, available < room ? available : room,
                              &Check.Read)) {
            Check.Reading = GetLastError() == ERROR_IO_PENDING;
            if (!Check.Reading)
                EndUpdateCheck();
            return;
        }
        if (TakeRead())
            break;
    }
    JudgeReply();
}

// On one of WinINet's threads: it only hands the outcome to the tray's thread.
static void CALLBACK ReportUpdateStep(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD)
{
    if (status == INTERNET_STATUS_REQUEST_COMPLETE)
        PostMessageA(Check.Window, WM_UPDATE_STEP, context, ((INTERNET_ASYNC_RESULT *)information)->dwResult != 0);
}

static LRESULT CALLBACK UpdateCheckWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_UPDATE_STEP) {
        if (UpdateCheck.Running && wParam == Check.Context)
            ContinueUpdateCheck(lParam != 0);
        return 0;
    }
    if (message == WM_TIMER && wParam == UPDATE_TIMER) {
        EndUpdateCheck();
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// A message-only window of the check's own, made once.
static int MakeUpdateCheckWindow(void)
{
    if (Check.Window != NULL)
        return 1;
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.lpfnWndProc = UpdateCheckWindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "PelorinUpdateCheck";
    RegisterClassA(&windowClass);
    Check.Window = CreateWindowExA(0, "PelorinUpdateCheck", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                   GetModuleHandleA(NULL), NULL);
    return Check.Window != NULL;
}

static void SetTimeouts(HINTERNET handle)
{
    const DWORD options[] = { INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                              INTERNET_OPTION_RECEIVE_TIMEOUT };
    for (DWORD option : options) {
        DWORD milliseconds = UPDATE_STEP_TIMEOUT_MS;
        InternetSetOptionA(handle, option, &milliseconds, sizeof(milliseconds));
    }
}

void CheckForUpdates(int silent)
{
    if (UpdateCheck.Running) {
        UpdateCheck.Silent = UpdateCheck.Silent && silent;
        return;
    }
    UpdateCheck.Offered = 0;
    WORD version[4];
    // Against an unknown own version every reply would look new.
    if (!ReadProductVersion(TrayProgramPath, version) || !MakeUpdateCheckWindow())
        return;
    Check.Own = PACKED_VERSION((DWORD)version[0], (DWORD)version[1], (DWORD)version[2]);
    char agent[256];
    ZeroMemory(agent, sizeof(agent));
    snprintf(agent, sizeof(agent), "pelorin/%d.%d.%d", (int)((Check.Own >> 16) & 0xFF),
             (int)((Check.Own >> 8) & 0xFF), (int)(Check.Own & 0xFF));
    Check.Internet = InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, INTERNET_FLAG_ASYNC);
    if (Check.Internet == NULL)
        return;
    UpdateCheck.Running = 1;
    UpdateCheck.Silent = silent;
    Check.Length = 0;
    Check.Reading = 0;
    ZeroMemory(Check.Reply, sizeof(Check.Reply));
    // Never 0: WinINet reports nothing for a context of 0.
    Check.Context++;
    if (Check.Context == 0)
        Check.Context++;
    if (InternetSetStatusCallbackA(Check.Internet, ReportUpdateStep) == INTERNET_INVALID_STATUS_CALLBACK ||
        !SetTimer(Check.Window, UPDATE_TIMER, UPDATE_CHECK_TIMEOUT_MS, NULL)) {
        EndUpdateCheck();
        return;
    }
    SetTimeouts(Check.Internet);
    // The request's handle is this thread's from the start, so that a check
    // cut short can close it (closing the Internet handle alone leaves its
    // connection open).
    Check.Connection = InternetConnectA(Check.Internet, PELORIN_UPDATE_HOST, INTERNET_DEFAULT_HTTP_PORT, NULL, NULL,
                                        INTERNET_SERVICE_HTTP, 0, Check.Context);
    if (Check.Connection != NULL)
        Check.Request = HttpOpenRequestA(Check.Connection, "GET", UPDATE_PATH, NULL, NULL, NULL,
                                         INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI,
                                         Check.Context);
    if (Check.Request == NULL) {
        EndUpdateCheck();
        return;
    }
    // Wine does not hand the session's time-outs down to its requests.
    SetTimeouts(Check.Request);
    if (HttpSendRequestA(Check.Request, NULL, 0, NULL, 0))
        ContinueUpdateCheck(TRUE);
    else if (GetLastError() != ERROR_IO_PENDING)
        EndUpdateCheck();
}
