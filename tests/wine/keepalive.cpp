#include <windows.h>

// Holds the test prefix up: Wine ends its services when the last ordinary
// process exits, and closes the desktop (with its taskbar) when the last
// process attached to it exits. Asking for the desktop window attaches.
int main()
{
    GetDesktopWindow();
    Sleep(INFINITE);
    return 0;
}
