#include "wininet_recorder.h"

#include <windows.h>
#include <wininet.h>

#include <stdio.h>

#include "import_hook.h"

typedef HINTERNET(WINAPI *OpenFunction)(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD);
typedef HINTERNET(WINAPI *OpenUrlFunction)(HINTERNET, LPCSTR, LPCSTR, DWORD, DWORD, DWORD_PTR);
static OpenFunction RealOpen;
static OpenUrlFunction RealOpenUrl;
static std::string Calls;

static const char *Text(const char *text)
{
    return text != NULL ? text : "-";
}

static HINTERNET WINAPI RecordOpen(LPCSTR agent, DWORD access, LPCSTR proxy, LPCSTR bypass, DWORD flags)
{
    char line[512];
    snprintf(line, sizeof(line), "open %s %lu %s %s %lu\n", Text(agent), access, Text(proxy), Text(bypass), flags);
    Calls += line;
    return RealOpen(agent, access, proxy, bypass, flags);
}

static HINTERNET WINAPI RecordOpenUrl(HINTERNET internet, LPCSTR url, LPCSTR headers, DWORD length, DWORD flags,
                                      DWORD_PTR context)
{
    char line[512];
    snprintf(line, sizeof(line), "url %s %s %lu %08lx %lu\n", Text(url), Text(headers), length, flags,
             (unsigned long)context);
    Calls += line;
    return RealOpenUrl(internet, url, headers, length, flags, context);
}

std::string RecordWinInetOpens(const std::function<void()> &work)
{
    Calls.clear();
    RealOpen = (OpenFunction)ReplaceImport("wininet.dll", "InternetOpenA", (void *)RecordOpen);
    RealOpenUrl = (OpenUrlFunction)ReplaceImport("wininet.dll", "InternetOpenUrlA", (void *)RecordOpenUrl);
    work();
    if (RealOpen != NULL)
        ReplaceImport("wininet.dll", "InternetOpenA", (void *)RealOpen);
    if (RealOpenUrl != NULL)
        ReplaceImport("wininet.dll", "InternetOpenUrlA", (void *)RealOpenUrl);
    return Calls;
}
