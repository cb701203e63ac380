// Prints a service's configuration the way "sc qc" does (Wine's sc has no qc),
// plus its description and pre-shutdown time-out. Demo and test tool only.
#include <windows.h>
#include <stdio.h>

static const char *DescribeStartType(DWORD startType)
{
    switch (startType) {
    case SERVICE_BOOT_START: return "BOOT_START";
    case SERVICE_SYSTEM_START: return "SYSTEM_START";
    case SERVICE_AUTO_START: return "AUTO_START";
    case SERVICE_DEMAND_START: return "DEMAND_START";
    case SERVICE_DISABLED: return "DISABLED";
    default: return "";
    }
}

static const char *DescribeErrorControl(DWORD errorControl)
{
    switch (errorControl) {
    case SERVICE_ERROR_IGNORE: return "IGNORE";
    case SERVICE_ERROR_NORMAL: return "NORMAL";
    case SERVICE_ERROR_SEVERE: return "SEVERE";
    case SERVICE_ERROR_CRITICAL: return "CRITICAL";
    default: return "";
    }
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        printf("usage: scqc SERVICE_NAME\n");
        return 2;
    }
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, argv[1], SERVICE_QUERY_CONFIG) : NULL;
    if (service == NULL) {
        printf("[SC] OpenService FAILED %lu\n", GetLastError());
        if (manager)
            CloseServiceHandle(manager);
        return 1;
    }

    static BYTE buffer[8192];
    DWORD needed = 0;
    int result = 0;
    if (QueryServiceConfigA(service, (QUERY_SERVICE_CONFIGA *)buffer, sizeof(buffer), &needed)) {
        QUERY_SERVICE_CONFIGA *config = (QUERY_SERVICE_CONFIGA *)buffer;
        printf("[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: %s\n", argv[1]);
        printf("        TYPE               : %lx  %s%s\n", config->dwServiceType,
               (config->dwServiceType & SERVICE_WIN32_OWN_PROCESS) ? "WIN32_OWN_PROCESS" : "WIN32_SHARE_PROCESS",
               (config->dwServiceType & SERVICE_INTERACTIVE_PROCESS) ? " (interactive)" : "");
        printf("        START_TYPE         : %lu   %s\n", config->dwStartType, DescribeStartType(config->dwStartType));
        printf("        ERROR_CONTROL      : %lu   %s\n", config->dwErrorControl, DescribeErrorControl(config->dwErrorControl));
        printf("        BINARY_PATH_NAME   : %s\n", config->lpBinaryPathName);
        printf("        LOAD_ORDER_GROUP   : %s\n", config->lpLoadOrderGroup ? config->lpLoadOrderGroup : "");
        printf("        TAG                : %lu\n", config->dwTagId);
        printf("        DISPLAY_NAME       : %s\n", config->lpDisplayName ? config->lpDisplayName : "");
        printf("        DEPENDENCIES       : %s\n", config->lpDependencies ? config->lpDependencies : "");
        printf("        SERVICE_START_NAME : %s\n", config->lpServiceStartName ? config->lpServiceStartName : "");
    } else {
        printf("[SC] QueryServiceConfig FAILED %lu\n", GetLastError());
        result = 1;
    }
    if (QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, buffer, sizeof(buffer), &needed)) {
        SERVICE_DESCRIPTIONA *description = (SERVICE_DESCRIPTIONA *)buffer;
        printf("        DESCRIPTION        : %s\n", description->lpDescription ? description->lpDescription : "");
    }
    if (QueryServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, buffer, sizeof(buffer), &needed))
        printf("        PRESHUTDOWN_TIMEOUT: %lu ms\n", ((SERVICE_PRESHUTDOWN_INFO *)buffer)->dwPreshutdownTimeout);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}
