// Stands in for the program that the shell opens text files with: appends
// its command line to "opened.txt" beside itself and exits.
#include <windows.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof(path));
    char *slash = strrchr(path, '\\');
    if (length == 0 || length >= sizeof(path) || slash == NULL)
        return 1;
    strcpy(slash + 1, "opened.txt");
    FILE *file = fopen(path, "ab");
    if (file == NULL)
        return 1;
    fprintf(file, "%s\r\n", GetCommandLineA());
    fclose(file);
    return 0;
}
