#include "autostart.h"

#include <windows.h>

#include <stdio.h>

#include "service_list.h"

#define RUN_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
#define RUN_VALUE "pelorintray"

int IsAutostartOnLogon(void)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, RUN_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    char value[MAX_PATH];
    DWORD size = sizeof(value);
    int set = RegQueryValueExA(key, RUN_VALUE, NULL, NULL, (BYTE *)value, &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return set;
}

long ToggleAutostartOnLogon(void)
{
    HKEY key;
    LONG result = RegOpenKeyExA(HKEY_CURRENT_USER, RUN_KEY, 0, KEY_ALL_ACCESS, &key);
    if (result != ERROR_SUCCESS)
        return result;
    char value[MAX_PATH];
    DWORD size = sizeof(value);
    // A value too long for the buffer counts as unset and is overwritten.
    if (RegQueryValueExA(key, RUN_VALUE, NULL, NULL, (BYTE *)value, &size) == ERROR_SUCCESS) {
        RegDeleteValueA(key, RUN_VALUE);
    } else {
        int length = snprintf(value, sizeof(value), "\"%s\"", TrayProgramPath);
        // A cut path would start another program or none: such a path is not written at all.
        if (TrayProgramPath[0] != '\0' && length > 0 && length < (int)sizeof(value))
            RegSetValueExA(key, RUN_VALUE, 0, REG_SZ, (const BYTE *)value, (DWORD)length + 1);
    }
    return RegCloseKey(key);
}
