// /regserver and /unregserver: the two classes, the type library (which
// registers every interface) and the class of the interfaces' compiled proxies
// and stubs (the session DLL), which marshals them in place of the type
// library's automation marshaler, in the current prefix.
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

// Every interface of the type library is marshaled by the compiled proxies.
int UseCompiledProxies(ITypeLib *library)
{
    wchar_t wide[64];
    char proxyStub[64];
    StringFromGUID2(CLSID_StandinProxyStub, wide, 64);
    WideCharToMultiByte(CP_ACP, 0, wide, -1, proxyStub, sizeof(proxyStub), NULL, NULL);
    int set = 1;
    for (UINT i = 0; i < library->GetTypeInfoCount(); i++) {
        TYPEKIND kind;
        ITypeInfo *info = NULL;
        TYPEATTR *attributes = NULL;
        if (FAILED(library->GetTypeInfoType(i, &kind)) || (kind != TKIND_DISPATCH && kind != TKIND_INTERFACE) ||
            FAILED(library->GetTypeInfo(i, &info)))
            continue;
        if (SUCCEEDED(info->GetTypeAttr(&attributes))) {
            char path[128];
            StringFromGUID2(attributes->guid, wide, 64);
            snprintf(path, sizeof(path), "Interface\\%ls\\ProxyStubClsid32", wide);
            HKEY key = NULL;
            if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) == ERROR_SUCCESS) {
                set = RegSetValueExA(key, NULL, 0, REG_SZ, (const BYTE *)proxyStub, (DWORD)strlen(proxyStub) + 1) ==
                          ERROR_SUCCESS && set;
                RegCloseKey(key);
            } else {
                set = 0;
            }
            info->ReleaseTypeAttr(attributes);
        }
        info->Release();
    }
    return set;
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
                     SetClassValue(CLSID_Session, "InprocServer32", "ThreadingModel", "Both") &&
                     SetClassValue(CLSID_StandinProxyStub, "", NULL, "Proxies and stubs (pelorin stand-in)") &&
                     SetClassValue(CLSID_StandinProxyStub, "InprocServer32", NULL, dll) &&
                     SetClassValue(CLSID_StandinProxyStub, "InprocServer32", "ThreadingModel", "Both");

    wchar_t wideExe[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, exe, -1, wideExe, MAX_PATH);
    ITypeLib *library = NULL;
    // The type library is this program's resource; registering it also writes
    // HKCR\Interface\{iid} for every interface, with the automation marshaler,
    // which the compiled proxies then replace.
    HRESULT result = LoadTypeLibEx(wideExe, REGKIND_REGISTER, &library);
    if (SUCCEEDED(result)) {
        registered = UseCompiledProxies(library) && registered;
        library->Release();
    }
    return registered && SUCCEEDED(result);
}

int UnregisterStandin(void)
{
    HRESULT result = UnRegisterTypeLib(LIBID_PelorinStandin, 1, 0, LANG_NEUTRAL, sizeof(void *) == 8 ? SYS_WIN64 : SYS_WIN32);
    int removed = DeleteClass(CLSID_VirtualBox);
    removed = DeleteClass(CLSID_Session) && removed;
    removed = DeleteClass(CLSID_StandinProxyStub) && removed;
    return removed && (SUCCEEDED(result) || result == TYPE_E_REGISTRYACCESS);
}
