#ifndef PELORIN_INSTALL_H
#define PELORIN_INSTALL_H

#include <windows.h>

// The values are -i's exit codes.
enum InstallResult {
    InstallDone = 0,
    InstallFailed = 2,
    InstallAccountUnknown = 3,
    InstallPasswordUnread = 4,
    InstallGrantRefused = 5
};

enum UninstallResult {
    UninstallDone = 0,
    UninstallPending = 1, // marked for deletion; goes when the service stops
    UninstallFailed = 2
};

// Rights that any interactive user gets on the service, so that the tray
// helper can query, start, stop and switch the start type (UserRights=full).
#define INTERACTIVE_SERVICE_ACCESS (GENERIC_READ | SERVICE_STOP | SERVICE_START | SERVICE_CHANGE_CONFIG)
// UserRights=control: no SERVICE_CHANGE_CONFIG, with which any interactive
// user could have Windows run a program of their choice as LocalSystem.
// GENERIC_READ stays whole: the tray opens the service with it.
#define INTERACTIVE_CONTROL_ACCESS (GENERIC_READ | SERVICE_STOP | SERVICE_START | SERVICE_USER_DEFINED_CONTROL)

int InstallService(void);
int UninstallService(void);
// Prints and logs "ERROR installing <display> (<key>) service: <reason>".
void ReportInstallError(const char *reason);
void GrantInteractiveServiceAccess(SC_HANDLE service);

// Builds an absolute descriptor whose DACL is the current one with the
// INTERACTIVE entry set to access. On success returns 1; the caller
// LocalFrees *newDacl and FreeSids *interactiveSid in every case.
int BuildInteractiveDescriptor(PSECURITY_DESCRIPTOR current, DWORD access, SECURITY_DESCRIPTOR *newDescriptor,
                               PACL *newDacl, PSID *interactiveSid);

#endif
