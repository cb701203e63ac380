#include "import_hook.h"

#include <windows.h>
#include <string.h>

void *ReplaceImport(const char *dllName, const char *functionName, void *replacement)
{
    BYTE *base = (BYTE *)GetModuleHandleA(NULL);
    IMAGE_NT_HEADERS *headers = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return NULL;

    for (IMAGE_IMPORT_DESCRIPTOR *dll = (IMAGE_IMPORT_DESCRIPTOR *)(base + imports.VirtualAddress); dll->Name != 0; dll++) {
        if (_stricmp((const char *)(base + dll->Name), dllName) != 0 || dll->OriginalFirstThunk == 0)
            continue;
        IMAGE_THUNK_DATA *names = (IMAGE_THUNK_DATA *)(base + dll->OriginalFirstThunk);
        IMAGE_THUNK_DATA *addresses = (IMAGE_THUNK_DATA *)(base + dll->FirstThunk);
        for (; names->u1.AddressOfData != 0; names++, addresses++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME *byName = (IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData);
            if (strcmp((const char *)byName->Name, functionName) != 0)
                continue;
            DWORD protection = 0;
            if (!VirtualProtect(&addresses->u1.Function, sizeof(addresses->u1.Function), PAGE_READWRITE, &protection))
                return NULL;
            void *previous = (void *)addresses->u1.Function;
            addresses->u1.Function = (ULONG_PTR)replacement;
            VirtualProtect(&addresses->u1.Function, sizeof(addresses->u1.Function), protection, &protection);
            return previous;
        }
    }
    return NULL;
}
