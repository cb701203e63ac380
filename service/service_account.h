#ifndef PELORIN_SERVICE_ACCOUNT_H
#define PELORIN_SERVICE_ACCOUNT_H

#include <windows.h>

// The longest password taken, Windows' own limit for an account's password.
#define SERVICE_PASSWORD_MAX 256

// What -i needs to install the service under ServiceAccount. The password
// goes to CreateServiceA and nowhere else; WipeServiceAccount clears it.
struct ServiceAccountRecord {
    char StartName[260];  // as the Service Control Manager takes it: ".\name" for a local account
    char Password[SERVICE_PASSWORD_MAX + 1];
};

// 1 when the ServiceAccount setting names an account; empty and LocalSystem do not.
int UsesServiceAccount(const char *setting);
// Looks the account up, reads its password and grants it the right to log
// on as a service, reporting each failure as -i does. Returns an InstallResult.
int PrepareServiceAccount(const char *setting, ServiceAccountRecord *account);
void WipeServiceAccount(ServiceAccountRecord *account);
// Asks for the account's password on the console, without echo, or reads one
// line of standard input when that is no console. Returns 0 or a Windows
// error (ERROR_INSUFFICIENT_BUFFER: longer than SERVICE_PASSWORD_MAX).
DWORD ReadServicePassword(const char *startName, char *password, size_t size);

#endif
