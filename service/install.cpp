#include "install.h"

#include <aclapi.h>
#include <stdio.h>
#include <string.h>

#include "command_line.h"
#include "log.h"
#include "service_account.h"
#include "settings.h"

static const char ServiceDescription[] = "Provides automatic start and shutdown of VirtualBox machine.";
static const DWORD PreshutdownTimeout = 300000;
// Restart after a minute, twice; the count starts again after a day.
static const DWORD RestartDelayMs = 60000;
static const DWORD FailureResetSeconds = 86400;

// Windows restarts the service when it ends with an error (a machine that
// ended abnormally or could not start): twice, a minute later each time.
static void SetRecoveryActions(SC_HANDLE service)
{
    SC_ACTION actions[3] = { { SC_ACTION_RESTART, RestartDelayMs }, { SC_ACTION_RESTART, RestartDelayMs },
                             { SC_ACTION_NONE, 0 } };
    SERVICE_FAILURE_ACTIONSA failure;
    ZeroMemory(&failure, sizeof(failure));
    failure.dwResetPeriod = FailureResetSeconds;
    failure.cActions = sizeof(actions) / sizeof(actions[0]);
    failure.lpsaActions = actions;
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
        WriteLog(1, "ERROR setting the service's recovery actions (0x%08x)", (unsigned)GetLastError());
    // Before Vista a stop with an exit code never counts as a failure.
    if (!VistaOrLater)
        return;
    SERVICE_FAILURE_ACTIONS_FLAG flag;
    flag.fFailureActionsOnNonCrashFailures = TRUE;
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag))
        WriteLog(1, "ERROR setting the service's recovery actions for stops with an error (0x%08x)", (unsigned)GetLastError());
}

// Errors the tables name get words; any other is shown as its number.
static void DescribeServiceError(DWORD error, char reason[255])
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
        strcpy(reason, "access denied");
        break;
    case ERROR_INVALID_NAME:
        strcpy(reason, "invalid name");
        break;
    case ERROR_SERVICE_EXISTS:
        strcpy(reason, "service already exists");
        break;
    case ERROR_DUPLICATE_SERVICE_NAME:
        strcpy(reason, "duplicate service display name");
        break;
    case ERROR_SERVICE_MARKED_FOR_DELETE:
        strcpy(reason, "service already marked for deletion");
        break;
    case ERROR_INVALID_SERVICE_ACCOUNT:
        snprintf(reason, 255, "invalid account name or password (0x%08x)", (unsigned)error);
        break;
    default:
        snprintf(reason, 255, "error %u", (unsigned)error);
        break;
    }
}

// Opening the manager or the service: a refusal says how to mend it.
static void DescribeOpenError(DWORD error, char reason[255])
{
    if (error == ERROR_ACCESS_DENIED)
        snprintf(reason, 255, "access denied; run it as an administrator (0x%08x)", (unsigned)error);
    else if (error == ERROR_SERVICE_DOES_NOT_EXIST)
        strcpy(reason, "service not found");
    else
        DescribeServiceError(error, reason);
}

void ReportInstallError(const char *reason)
{
    const ServiceSettingsRecord &settings = ServiceSettings;
    WriteLog(1, "ERROR installing %s (%s) service: %s", settings.DisplayName, settings.ServiceKeyName, reason);
    printf("\nERROR installing %s (%s) service: %s\n", settings.DisplayName, settings.ServiceKeyName, reason);
}

static void ReportUninstallError(const char *reason)
{
    const ServiceSettingsRecord &settings = ServiceSettings;
    WriteLog(1, "ERROR uninstalling %s (%s) service: %s", settings.DisplayName, settings.ServiceKeyName, reason);
    printf("\nERROR uninstalling %s (%s) service: %s\n", settings.DisplayName, settings.ServiceKeyName, reason);
}

int InstallService(void)
{
    ServiceSettingsRecord &settings = ServiceSettings;
    char binaryPath[MAX_PATH + 2];
    char reason[255];
    ServiceAccountRecord account;
    ZeroMemory(&account, sizeof(account));
    DWORD type = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;

    DWORD length = GetModuleFileNameA(NULL, settings.ExePath, sizeof(settings.ExePath));
    if (length >= sizeof(settings.ExePath))
        settings.ExePath[sizeof(settings.ExePath) - 1] = '\0';
    // Unquoted, a path with blanks (C:\Program Files\...) would let Windows
    // start C:\Program.exe in the service's place.
    snprintf(binaryPath, sizeof(binaryPath), "\"%s\"", settings.ExePath);

    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) {
        DescribeOpenError(GetLastError(), reason);
        ReportInstallError(reason);
        return InstallFailed;
    }
    int usesAccount = UsesServiceAccount(settings.ServiceAccount);
    if (usesAccount) {
        int prepared = PrepareServiceAccount(settings.ServiceAccount, &account);
        if (prepared != InstallDone) {
            CloseServiceHandle(manager);
            return prepared;
        }
        // Windows refuses the interactive flag for any account but LocalSystem.
        type = SERVICE_WIN32_OWN_PROCESS;
    }

    SC_HANDLE service = CreateServiceA(manager, settings.ServiceKeyName, settings.DisplayName, SERVICE_ALL_ACCESS,
                                       type, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath, NULL, NULL, NULL,
                                       usesAccount ? account.StartName : NULL, usesAccount ? account.Password : NULL);
    DWORD error = GetLastError();
    WipeServiceAccount(&account);
    if (service == NULL) {
        DescribeServiceError(error, reason);
        ReportInstallError(reason);
        CloseServiceHandle(manager);
        return InstallFailed;
    }

    SERVICE_DESCRIPTIONA description;
    description.lpDescription = (char *)ServiceDescription;
    ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);

    if (VistaOrLater) {
        // The service accepts pre-shutdown; give it time to take its machine down.
        SERVICE_PRESHUTDOWN_INFO preshutdown;
        preshutdown.dwPreshutdownTimeout = PreshutdownTimeout;
        ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown);
    }

    if (settings.RestartOnFailure)
        SetRecoveryActions(service);
    GrantInteractiveServiceAccess(service);

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return InstallDone;
}

int BuildInteractiveDescriptor(PSECURITY_DESCRIPTOR current, DWORD interactiveAccess, SECURITY_DESCRIPTOR *newDescriptor,
                               PACL *newDacl, PSID *interactiveSid)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL currentDacl = NULL;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;

    *newDacl = NULL;
    *interactiveSid = NULL;

    if (!GetSecurityDescriptorDacl(current, &present, &currentDacl, &defaulted)) {
        WriteLog(1, "ERROR retrieving DACL from security descriptor (0x%08x)", (unsigned)GetLastError());
        return 0;
    }
    if (!AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_INTERACTIVE_RID, 0, 0, 0, 0, 0, 0, 0, interactiveSid)) {
        *interactiveSid = NULL;
        WriteLog(1, "ERROR initializing SID for interactive user (0x%08x)", (unsigned)GetLastError());
        return 0;
    }

    EXPLICIT_ACCESS_A access;
    ZeroMemory(&access, sizeof(access));
    access.grfAccessPermissions = interactiveAccess;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.pMultipleTrustee = NULL;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = (char *)*interactiveSid;

    DWORD result = SetEntriesInAclA(1, &access, present ? currentDacl : NULL, newDacl);
    if (result != ERROR_SUCCESS) {
        *newDacl = NULL;
        WriteLog(1, "ERROR creating ACL (0x%08x, 0x%08x)", (unsigned)result, (unsigned)GetLastError());
        return 0;
    }
    if (!InitializeSecurityDescriptor(newDescriptor, SECURITY_DESCRIPTOR_REVISION)) {
        WriteLog(1, "ERROR initializing new security descriptor (0x%08x)", (unsigned)GetLastError());
        return 0;
    }
    if (!SetSecurityDescriptorDacl(newDescriptor, TRUE, *newDacl, FALSE)) {
        WriteLog(1, "ERROR replacing DACL (0x%08x)", (unsigned)GetLastError());
        return 0;
    }
    return 1;
}

void GrantInteractiveServiceAccess(SC_HANDLE service)
{
    PSECURITY_DESCRIPTOR current = NULL;
    PACL newDacl = NULL;
    PSID interactiveSid = NULL;
    SECURITY_DESCRIPTOR newDescriptor;
    DWORD needed = 0;
    int updated = 0;

    if (!QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, NULL, 0, &needed)
        && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        WriteLog(1, "ERROR retrieving security descriptor of the service (0x%08x)", (unsigned)GetLastError());
    } else {
        current = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed);
        if (current != NULL
            && QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, current, needed, &needed)
            && BuildInteractiveDescriptor(current, ReadInteractiveAccess(), &newDescriptor, &newDacl,
                                          &interactiveSid)) {
            if (SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, &newDescriptor))
                updated = 1;
            else
                WriteLog(1, "ERROR setting security descriptor of a service (0x%08x)", (unsigned)GetLastError());
        }
    }

    if (newDacl != NULL)
        LocalFree(newDacl);
    if (current != NULL)
        HeapFree(GetProcessHeap(), 0, current);
    if (interactiveSid != NULL)
        FreeSid(interactiveSid);
    if (!updated)
        WriteLog(1, "ERROR updating service DACL");
}

int UninstallService(void)
{
    ServiceSettingsRecord &settings = ServiceSettings;
    char reason[255];

    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, GENERIC_READ);
    if (manager == NULL) {
        DescribeOpenError(GetLastError(), reason);
        ReportUninstallError(reason);
        return UninstallFailed;
    }
    // Only the rights the removal needs: asked for more, a refusal of any of
    // them would leave an administrator without the one that mattered.
    SC_HANDLE service = OpenServiceA(manager, settings.ServiceKeyName, DELETE | SERVICE_QUERY_STATUS);
    if (service == NULL) {
        DescribeOpenError(GetLastError(), reason);
        ReportUninstallError(reason);
        CloseServiceHandle(manager);
        return UninstallFailed;
    }

    // A status that cannot be read is not taken for a stopped service.
    SERVICE_STATUS status;
    int result = UninstallPending;
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED)
        result = UninstallDone;

    if (!DeleteService(service)) {
        DescribeServiceError(GetLastError(), reason);
        ReportUninstallError(reason);
        result = UninstallFailed;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}
