#include "service_account.h"

#include <ntsecapi.h>
#include <stdio.h>
#include <string.h>

#include "install.h"
#include "log.h"

// LsaEnumerateAccountRights' answer for an account that holds no right at all.
static const NTSTATUS AccountHoldsNoRights = (NTSTATUS)0xC0000034L;
static WCHAR ServiceLogonRight[] = L"SeServiceLogonRight";

int UsesServiceAccount(const char *setting)
{
    return setting[0] != '\0' && _stricmp(setting, "LocalSystem") != 0;
}

// ".\name" and "name" are local accounts. The Service Control Manager takes
// ".\name"; LookupAccountNameA is given the computer's name for the dot,
// since a bare name would also find a domain account of that name.
static void ComposeAccountNames(const char *setting, char *startName, size_t startSize, char *lookupName,
                                size_t lookupSize)
{
    if (strncmp(setting, ".\\", 2) != 0 && (strchr(setting, '\\') != NULL || strchr(setting, '@') != NULL)) {
        snprintf(startName, startSize, "%s", setting);
        snprintf(lookupName, lookupSize, "%s", setting);
        return;
    }
    const char *name = strncmp(setting, ".\\", 2) == 0 ? setting + 2 : setting;
    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = sizeof(computer);
    if (!GetComputerNameA(computer, &length))
        strcpy(computer, ".");
    snprintf(startName, startSize, ".\\%s", name);
    snprintf(lookupName, lookupSize, "%s\\%s", computer, name);
}

// Keys one at a time, without echo or line editing: the password stays out
// of the console's command history, and Ctrl+C arrives as a key, so the
// console's mode is given back on every path. Taken as the console gives it
// (Unicode) and turned into the ANSI code page that CreateServiceA expects.
static DWORD ReadConsolePassword(HANDLE input, DWORD mode, char *password, size_t size)
{
    WCHAR typed[SERVICE_PASSWORD_MAX + 1];
    DWORD count = 0;
    DWORD error = NO_ERROR;
    int tooLong = 0;
    if (!SetConsoleMode(input, mode & ~(ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT)))
        return GetLastError();
    for (;;) {
        WCHAR key = 0;
        DWORD read = 0;
        if (!ReadConsoleW(input, &key, 1, &read, NULL)) {
            error = GetLastError();
            break;
        }
        if (read == 0) {
            error = ERROR_HANDLE_EOF;
            break;
        }
        if (key == L'\r' || key == L'\n')
            break;
        if (key == 3) {
            error = ERROR_CANCELLED;
            break;
        }
        if (key == L'\b') {
            count -= count > 0;
        } else if (count < SERVICE_PASSWORD_MAX) {
            typed[count++] = key;
        } else {
            // Read on to the Enter key: what is left would go to the prompt behind.
            tooLong = 1;
        }
        SecureZeroMemory(&key, sizeof(key));
    }
    SetConsoleMode(input, mode);

    if (error == NO_ERROR && tooLong)
        error = ERROR_INSUFFICIENT_BUFFER;
    password[0] = '\0';
    if (error == NO_ERROR && count > 0) {
        BOOL defaulted = FALSE;
        int utf8 = GetACP() == CP_UTF8;
        int bytes = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, typed, (int)count, password,
                                        (int)size - 1, NULL, utf8 ? NULL : &defaulted);
        if (bytes == 0)
            error = GetLastError();
        else if (defaulted)
            error = ERROR_NO_UNICODE_TRANSLATION;
        else
            password[bytes] = '\0';
    }
    SecureZeroMemory(typed, sizeof(typed));
    return error;
}

// One line of standard input, as a scripted install gives it; the end of
// the input ends it too.
static DWORD ReadPasswordLine(HANDLE input, char *password, size_t size)
{
    size_t length = 0;
    DWORD error = NO_ERROR;
    char byte = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(input, &byte, 1, &read, NULL)) {
            error = GetLastError();
            if (error != ERROR_BROKEN_PIPE)
                break;
            error = NO_ERROR;
        }
        if (read == 0) {
            error = length == 0 ? ERROR_HANDLE_EOF : NO_ERROR;
            break;
        }
        if (byte == '\n')
            break;
        if (byte == '\r')
            continue;
        if (length == size - 1) {
            error = ERROR_INSUFFICIENT_BUFFER;
            break;
        }
        password[length++] = byte;
    }
    password[length] = '\0';
    SecureZeroMemory(&byte, sizeof(byte));
    return error;
}

DWORD ReadServicePassword(const char *startName, char *password, size_t size)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    DWORD error;
    if (GetConsoleMode(input, &mode)) {
        printf("\nPassword for %s: ", startName);
        fflush(stdout);
        error = ReadConsolePassword(input, mode, password, size);
    } else {
        error = ReadPasswordLine(input, password, size);
    }
    if (error != NO_ERROR)
        SecureZeroMemory(password, size);
    return error;
}

// Adds SeServiceLogonRight unless the account holds it. Returns 0 or a
// Windows error; *granted is 1 when the right was added.
static DWORD GrantServiceLogonRight(PSID sid, int *granted)
{
    LSA_OBJECT_ATTRIBUTES attributes;
    ZeroMemory(&attributes, sizeof(attributes));
    LSA_UNICODE_STRING right;
    right.Buffer = ServiceLogonRight;
    right.Length = (USHORT)(sizeof(ServiceLogonRight) - sizeof(WCHAR));
    right.MaximumLength = (USHORT)sizeof(ServiceLogonRight);
    LSA_HANDLE policy = NULL;
    *granted = 0;

    NTSTATUS status = LsaOpenPolicy(NULL, &attributes, POLICY_LOOKUP_NAMES | POLICY_CREATE_ACCOUNT, &policy);
    if (status != 0)
        return LsaNtStatusToWinError(status);
    PLSA_UNICODE_STRING rights = NULL;
    ULONG count = 0;
    int held = 0;
    status = LsaEnumerateAccountRights(policy, sid, &rights, &count);
    if (status == 0) {
        for (ULONG i = 0; i < count; i++)
            held |= rights[i].Length == right.Length && memcmp(rights[i].Buffer, right.Buffer, right.Length) == 0;
        LsaFreeMemory(rights);
    } else if (status == AccountHoldsNoRights) {
        status = 0;
    }
    if (status == 0 && !held) {
        status = LsaAddAccountRights(policy, sid, &right, 1);
        *granted = status == 0;
    }
    LsaClose(policy);
    return status == 0 ? NO_ERROR : LsaNtStatusToWinError(status);
}

void WipeServiceAccount(ServiceAccountRecord *account)
{
    SecureZeroMemory(account->Password, sizeof(account->Password));
}

int PrepareServiceAccount(const char *setting, ServiceAccountRecord *account)
{
    char lookupName[MAX_COMPUTERNAME_LENGTH + 2 + 256];
    char reason[255];
    ComposeAccountNames(setting, account->StartName, sizeof(account->StartName), lookupName, sizeof(lookupName));

    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sid);
    char domain[256];
    DWORD domainSize = sizeof(domain);
    SID_NAME_USE use;
    if (!LookupAccountNameA(NULL, lookupName, sid, &sidSize, domain, &domainSize, &use)) {
        snprintf(reason, sizeof(reason), "account '%s' not found (0x%08x)", account->StartName, (unsigned)GetLastError());
        ReportInstallError(reason);
        return InstallAccountUnknown;
    }

    DWORD error = ReadServicePassword(account->StartName, account->Password, sizeof(account->Password));
    if (error == ERROR_INSUFFICIENT_BUFFER) {
        snprintf(reason, sizeof(reason), "the password for '%s' is longer than %d characters", account->StartName,
                 SERVICE_PASSWORD_MAX);
    } else if (error != NO_ERROR) {
        snprintf(reason, sizeof(reason), "the password for '%s' could not be read (0x%08x)", account->StartName,
                 (unsigned)error);
    }
    if (error != NO_ERROR) {
        ReportInstallError(reason);
        return InstallPasswordUnread;
    }

    // Granted before the service exists: a refusal leaves nothing installed.
    int granted = 0;
    error = GrantServiceLogonRight(sid, &granted);
    if (error != NO_ERROR) {
        WipeServiceAccount(account);
        snprintf(reason, sizeof(reason), "account '%s' could not be granted the right to log on as a service (0x%08x)",
                 account->StartName, (unsigned)error);
        ReportInstallError(reason);
        return InstallGrantRefused;
    }
    if (granted) {
        printf("\nAccount '%s' was granted the right to log on as a service.\n", account->StartName);
        WriteLog(1, "Account '%s' was granted the right to log on as a service.", account->StartName);
    }
    return InstallDone;
}
