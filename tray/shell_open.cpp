#include "shell_open.h"

#include <windows.h>
#include <shellapi.h>

void OpenWithShell(const char *file, const char *parameters, const char *className)
{
    SHELLEXECUTEINFOA execute;
    ZeroMemory(&execute, sizeof(execute));
    execute.cbSize = sizeof(execute);
    execute.fMask = className != NULL ? SEE_MASK_CLASSNAME : 0;
    execute.lpVerb = "open";
    execute.lpFile = file;
    execute.lpParameters = parameters;
    execute.nShow = SW_SHOWNORMAL;
    execute.lpClass = className;
    ShellExecuteExA(&execute);
}
