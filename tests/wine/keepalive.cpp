#include <windows.h>

#include <stdlib.h>
#include <string.h>

// Holds the test prefix up: Wine ends its services when the last ordinary
// process exits, and closes the desktop (with its taskbar) when the last
// process attached to it exits. Asking for the desktop window attaches.
//   keepalive.exe               holds the prefix up until it is ended
//   keepalive.exe taskbar MS    exits with 0 once the desktop shows its
//                               taskbar, with 1 when it has none after MS ms
int main(int argc, char **argv)
{
    GetDesktopWindow();
    if (argc == 3 && strcmp(argv[1], "taskbar") == 0) {
        DWORD waited = 0;
        DWORD timeout = (DWORD)strtoul(argv[2], NULL, 10);
        while (FindWindowA("Shell_TrayWnd", NULL) == NULL) {
            if (waited >= timeout)
                return 1;
            Sleep(100);
            waited += 100;
        }
        return 0;
    }
    Sleep(INFINITE);
    return 0;
}
