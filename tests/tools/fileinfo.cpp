// fileinfo: what Windows reads from a program file: its product and file
// versions (from the version block) and whether it is a 32- or 64-bit
// program. One line per file; exit code 1 when a file could not be read.
//   fileinfo.exe FILE...
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static int PrintFileInfo(const char *path)
{
    DWORD type = 0;
    if (!GetBinaryTypeA(path, &type))
        return 0;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    char *block = size > 0 ? (char *)malloc(size) : NULL;
    VS_FIXEDFILEINFO *info = NULL;
    UINT length = 0;
    int read = block != NULL && GetFileVersionInfoA(path, 0, size, block)
               && VerQueryValueA(block, "\\", (void **)&info, &length) && length >= sizeof(*info);
    if (read) {
        printf("%s product=%u.%u.%u.%u file=%u.%u.%u.%u bits=%s\n", path,
               (unsigned)HIWORD(info->dwProductVersionMS), (unsigned)LOWORD(info->dwProductVersionMS),
               (unsigned)HIWORD(info->dwProductVersionLS), (unsigned)LOWORD(info->dwProductVersionLS),
               (unsigned)HIWORD(info->dwFileVersionMS), (unsigned)LOWORD(info->dwFileVersionMS),
               (unsigned)HIWORD(info->dwFileVersionLS), (unsigned)LOWORD(info->dwFileVersionLS),
               type == SCS_64BIT_BINARY ? "64" : type == SCS_32BIT_BINARY ? "32" : "other");
    }
    free(block);
    return read;
}

int main(int argc, char **argv)
{
    int status = 0;
    for (int i = 1; i < argc; i++) {
        if (!PrintFileInfo(argv[i])) {
            printf("%s unreadable (%lu)\n", argv[i], GetLastError());
            status = 1;
        }
    }
    return status;
}
