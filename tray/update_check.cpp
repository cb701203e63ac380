#include "update_check.h"

#include <wininet.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "service_list.h"
#include "shell_open.h"
#include "version_info.h"

// The host comes from the build (PELORIN_UPDATE_HOST in CMake).
#define UPDATE_ADDRESS "http://" PELORIN_UPDATE_HOST "/updatecheck/pelorin"
#define ADDRESS_SIZE 128

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

DWORD CheckForUpdates(int silent)
{
    WORD version[4];
    // Against an unknown own version every reply would look new.
    if (!ReadProductVersion(TrayProgramPath, version))
        return 0;
    DWORD own = PACKED_VERSION((DWORD)version[0], (DWORD)version[1], (DWORD)version[2]);
    char agent[256];
    ZeroMemory(agent, sizeof(agent));
    snprintf(agent, sizeof(agent), "pelorin/%d.%d.%d", (int)((own >> 16) & 0xFF), (int)((own >> 8) & 0xFF),
             (int)(own & 0xFF));
    HINTERNET internet = InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (internet == NULL)
        return 0;
    HINTERNET request = InternetOpenUrlA(internet, UPDATE_ADDRESS, NULL, 0,
                                         INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI, 0);
    if (request == NULL) {
        InternetCloseHandle(internet);
        return 0;
    }
    // Whatever body comes back, an error page too, is read and judged alike.
    char reply[256];
    ZeroMemory(reply, sizeof(reply));
    DWORD read = 0;
    DWORD offered = 0;
    char address[ADDRESS_SIZE];
    if (InternetReadFile(request, reply, sizeof(reply) - 1, &read) && ParseReply(reply, &offered, address)) {
        if (offered > own)
            OfferUpdate(offered, address);
        else if (!silent)
            MessageBoxA(NULL, "Pelorin is up to date.", "No updates available", MB_OK);
    }
    InternetCloseHandle(request);
    InternetCloseHandle(internet);
    return offered;
}
