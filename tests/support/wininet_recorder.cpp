#include "wininet_recorder.h"

#include <windows.h>
#include <wininet.h>

#include <stdio.h>

#include "import_hook.h"

typedef HINTERNET(WINAPI *OpenFunction)(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD);
typedef BOOL(WINAPI *SetOptionFunction)(HINTERNET, DWORD, LPVOID, DWORD);
typedef HINTERNET(WINAPI *ConnectFunction)(HINTERNET, LPCSTR, INTERNET_PORT, LPCSTR, LPCSTR, DWORD, DWORD,
                                           DWORD_PTR);
typedef HINTERNET(WINAPI *OpenRequestFunction)(HINTERNET, LPCSTR, LPCSTR, LPCSTR, LPCSTR, LPCSTR *, DWORD,
                                               DWORD_PTR);
static OpenFunction RealOpen;
static SetOptionFunction RealSetOption;
static ConnectFunction RealConnect;
static OpenRequestFunction RealOpenRequest;
static std::string Calls;

static const char *Text(const char *text)
{
    return text != NULL ? text : "-";
}

static HINTERNET WINAPI RecordOpen(LPCSTR agent, DWORD access, LPCSTR proxy, LPCSTR bypass, DWORD flags)
{
    char line[512];
    snprintf(line, sizeof(line), "open %s %lu %s %s %08lx\n", Text(agent), access, Text(proxy), Text(bypass), flags);
    Calls += line;
    return RealOpen(agent, access, proxy, bypass, flags);
}

static BOOL WINAPI RecordSetOption(HINTERNET internet, DWORD option, LPVOID buffer, DWORD length)
{
    char line[128];
    snprintf(line, sizeof(line), "option %lu %lu\n", option,
             length == sizeof(DWORD) && buffer != NULL ? *(DWORD *)buffer : 0ul);
    Calls += line;
    return RealSetOption(internet, option, buffer, length);
}

static HINTERNET WINAPI RecordConnect(HINTERNET internet, LPCSTR server, INTERNET_PORT port, LPCSTR user,
                                      LPCSTR password, DWORD service, DWORD flags, DWORD_PTR context)
{
    char line[512];
    snprintf(line, sizeof(line), "connect %s %u %s %s %lu %08lx %s\n", Text(server), port, Text(user),
             Text(password), service, flags, context != 0 ? "context" : "no context");
    Calls += line;
    return RealConnect(internet, server, port, user, password, service, flags, context);
}

static HINTERNET WINAPI RecordOpenRequest(HINTERNET connection, LPCSTR verb, LPCSTR object, LPCSTR version,
                                          LPCSTR referrer, LPCSTR *accept, DWORD flags, DWORD_PTR context)
{
    char line[512];
    snprintf(line, sizeof(line), "request %s %s %s %s %s %08lx %s\n", Text(verb), Text(object), Text(version),
             Text(referrer), accept != NULL ? "accept" : "-", flags, context != 0 ? "context" : "no context");
    Calls += line;
    return RealOpenRequest(connection, verb, object, version, referrer, accept, flags, context);
}

static void *Replace(const char *name, void *replacement)
{
    return ReplaceImport("wininet.dll", name, replacement);
}

std::string RecordWinInetOpens(const std::function<void()> &work)
{
    Calls.clear();
    RealOpen = (OpenFunction)Replace("InternetOpenA", (void *)RecordOpen);
    RealSetOption = (SetOptionFunction)Replace("InternetSetOptionA", (void *)RecordSetOption);
    RealConnect = (ConnectFunction)Replace("InternetConnectA", (void *)RecordConnect);
    RealOpenRequest = (OpenRequestFunction)Replace("HttpOpenRequestA", (void *)RecordOpenRequest);
    work();
    if (RealOpen != NULL)
        Replace("InternetOpenA", (void *)RealOpen);
    if (RealSetOption != NULL)
        Replace("InternetSetOptionA", (void *)RealSetOption);
    if (RealConnect != NULL)
        Replace("InternetConnectA", (void *)RealConnect);
    if (RealOpenRequest != NULL)
        Replace("HttpOpenRequestA", (void *)RealOpenRequest);
    return Calls;
}
