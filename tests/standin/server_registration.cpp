// /regserver and /unregserver: the two classes and the type library (which
// registers every interface for typelib marshaling) in the current prefix.
#include <stdio.h>
#include <string.h>

#include "server.h"

namespace {

const char SessionDllName[] = "standin_session.dll";

void ComposeClassKey(REFCLSID clsid, const char *below, char *key, size_t size)
{
    wchar_t wide[64];
    char text[64];
    StringFromGUID2(clsid, wide, 64);
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof(text), NULL, NULL);
    snprintf(key, size, "CLSID\\%s%s%s", text, below[0] != '\0' ? "\\" : "", below);
}

int SetClassValue(REFCLSID clsid, const char *below, const char *name, const char *value)
{
    char path[256];
    ComposeClassKey(clsid, below, path, sizeof(path));
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS)
        return 0;
    int set = RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)value, (DWORD)strlen(value) + 1) == ERROR_SUCCESS;
    RegCloseKey(key);
    return set;
}

int DeleteClass(REFCLSID clsid)
{
    char path[256];
    ComposeClassKey(clsid, "", path, sizeof(path));
    LONG status = RegDeleteTreeA(HKEY_CLASSES_ROOT, path);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

}  // namespace

int RegisterStandin(const char *serverPath)
{
    char exe[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, exe, sizeof(exe));
    if (length == 0 || length >= sizeof(exe))
        return 0;
    char server[MAX_PATH + 2];
    snprintf(server, sizeof(server), "\"%s\"", serverPath != NULL ? serverPath : exe);
    char dll[MAX_PATH];
    lstrcpynA(dll, exe, sizeof(dll));
    char *slash = strrchr(dll, '\\');
    if (slash == NULL || (size_t)(slash + 1 - dll) + sizeof(SessionDllName) > sizeof(dll))
        return 0;
    strcpy(slash + 1, SessionDllName);

    int registered = SetClassValue(CLSID_VirtualBox, "", NULL, "VirtualBox (pelorin stand-in)") &&
                     SetClassValue(CLSID_VirtualBox, "LocalServer32", NULL, server) &&
                     SetClassValue(CLSID_Session, "", NULL, "Session (pelorin stand-in)") &&
                     SetClassValue(CLSID_Session, "InprocServer32", NULL, dll) &&
                     SetClassValue(CLSID_Session, "InprocServer32", "ThreadingModel", "Both");

    wchar_t wideExe[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, exe, -1, wideExe, MAX_PATH);
    ITypeLib *library = NULL;
    // The type library is this program's resource; registering it also writes
    // HKCR\Interface\{iid} with the automation marshaler for every interface.
    HRESULT result = LoadTypeLibEx(wideExe, REGKIND_REGISTER, &library);
    if (SUCCEEDED(result))
        library->Release();
    return registered && SUCCEEDED(result);
}

int UnregisterStandin(void)
{
    HRESULT result = UnRegisterTypeLib(LIBID_PelorinStandin, 1, 0, LANG_NEUTRAL, sizeof(void *) == 8 ? SYS_WIN64 : SYS_WIN32);
    int removed = DeleteClass(CLSID_VirtualBox);
    removed = DeleteClass(CLSID_Session) && removed;
    return removed && (SUCCEEDED(result) || result == TYPE_E_REGISTRYACCESS);
}
