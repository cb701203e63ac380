#include "version_info.h"

#include <stdlib.h>

int ReadProductVersion(const char *path, WORD version[4])
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0)
        return 0;

    void *block = malloc(size);
    if (block == NULL)
        return 0;

    int found = 0;
    VS_FIXEDFILEINFO *info = NULL;
    UINT length = 0;
    if (GetFileVersionInfoA(path, 0, size, block)
        && VerQueryValueA(block, "\\", (void **)&info, &length)
        && info != NULL && length >= sizeof(*info)) {
        version[0] = HIWORD(info->dwProductVersionMS);
        version[1] = LOWORD(info->dwProductVersionMS);
        version[2] = HIWORD(info->dwProductVersionLS);
        version[3] = LOWORD(info->dwProductVersionLS);
        found = 1;
    }
    free(block);
    return found;
}
