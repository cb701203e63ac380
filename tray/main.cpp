#include <windows.h>

#include "tray_shell.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return RunTrayHelper(instance);
}
