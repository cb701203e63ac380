#include "vbox_session.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "log.h"
#include "settings.h"

IVirtualBox *ServiceVirtualBox;
ISession *ServiceSession;

// The log is written in the ANSI code page, as the INI file is: VirtualBox's
// wide texts are converted with it, whole (the C runtime's %S would stop at
// the first letter outside ASCII).
static void LogWideText(int level, const char *format, const wchar_t *text)
{
    const wchar_t *wide = text != NULL ? text : L"";
    int size = WideCharToMultiByte(CP_ACP, 0, wide, -1, NULL, 0, NULL, NULL);
    char *narrow = size > 0 ? (char *)malloc(size) : NULL;
    if (narrow != NULL && WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, size, NULL, NULL) > 0)
        WriteLog(level, format, narrow);
    else
        WriteLog(level, format, "");
    free(narrow);
}

// Folder names as Windows compares them: any case, "/" for "\\", with or
// without trailing separators.
static void NormaliseFolder(char *folder)
{
    for (char *c = folder; *c != '\0'; c++) {
        if (*c == '/')
            *c = '\\';
    }
    size_t length = strlen(folder);
    while (length > 0 && folder[length - 1] == '\\')
        folder[--length] = '\0';
}

static int IsSameFolder(const char *first, const char *second)
{
    char a[1024];
    char b[1024];
    snprintf(a, sizeof(a), "%s", first);
    snprintf(b, sizeof(b), "%s", second);
    NormaliseFolder(a);
    NormaliseFolder(b);
    return _stricmp(a, b) == 0;
}

// COM starts VirtualBox's server, not the service: the VBOX_USER_HOME that
// the service sets reaches VBoxHeadless but not necessarily the server that
// looks the machine up. Said once for each folder: every pipe request
// connects too.
static CRITICAL_SECTION HomeWarningLock;
static char WarnedHome[1024];

static int InitializeHomeWarningLock(void)
{
    InitializeCriticalSection(&HomeWarningLock);
    return 1;
}

static int HomeWarningLockReady = InitializeHomeWarningLock();

static void CompareHomeFolder(const wchar_t *homeFolder)
{
    char home[1024];
    if (homeFolder == NULL || ServiceSettings.VboxUserHome[0] == '\0' || !CopyToAnsi(homeFolder, home, sizeof(home)))
        return;
    if (IsSameFolder(home, ServiceSettings.VboxUserHome))
        return;
    EnterCriticalSection(&HomeWarningLock);
    int known = strcmp(WarnedHome, home) == 0;
    strcpy(WarnedHome, home);
    LeaveCriticalSection(&HomeWarningLock);
    if (!known)
        WriteLog(1, "WARNING: VirtualBox's server uses the home folder '%s', not VboxUserHome '%s'", home,
                 ServiceSettings.VboxUserHome);
}

// Asks the VirtualBox object for each generation's IVirtualBox, newest first;
// the one that answers is the generation of this VirtualBox.
static HRESULT ChooseGeneration(IUnknown *object, IVirtualBox **virtualBox)
{
    HRESULT result = E_NOINTERFACE;
    for (int i = 0; i < VboxGenerationCount; i++) {
        result = object->QueryInterface(VboxGenerations[i].iids[VboxIVirtualBox], (void **)virtualBox);
        if (SUCCEEDED(result) && *virtualBox != NULL) {
            VboxApi = &VboxGenerations[i];
            return result;
        }
        *virtualBox = NULL;
    }
    char names[64] = "";
    for (int i = 0; i < VboxGenerationCount; i++) {
        strncat(names, i > 0 ? ", " : "", sizeof(names) - strlen(names) - 1);
        strncat(names, VboxGenerations[i].name, sizeof(names) - strlen(names) - 1);
    }
    WriteLog(1, "ERROR: VirtualBox speaks none of the supported API generations %s (rc = 0x%08x)", names, (unsigned)result);
    return FAILED(result) ? result : E_NOINTERFACE;
}

HRESULT ConnectVirtualBox(IVirtualBox **virtualBox)
{
    *virtualBox = NULL;
    CoInitialize(NULL);
    WriteLog(3, "Initializing VirtualBox interface");

    // The class is the same in every generation; the interface tells them apart.
    IUnknown *object = NULL;
    HRESULT result = CoCreateInstance(ClsidVirtualBox, NULL, CLSCTX_LOCAL_SERVER, IID_IUnknown, (void **)&object);
    if (FAILED(result)) {
        WriteLog(1, "ERROR creating VirtualBox instance (rc = 0x%08x)", (unsigned)result);
        return result;
    }
    result = ChooseGeneration(object, virtualBox);
    object->Release();
    if (FAILED(result))
        return result;

    BSTR version = NULL;
    result = CallVbox(*virtualBox, VirtualBoxGetVersion, &version);
    if (SUCCEEDED(result)) {
        LogWideText(3, "VirtualBox Interface v%s initialized", version);
        WriteLog(3, "Using VirtualBox API generation %s", VboxApi->name);
    } else {
        WriteLog(1, "ERROR initializing VirtualBox interface");
    }
    SysFreeString(version);

    // Only logged, so that a wrong VBOX_USER_HOME shows in the log.
    BSTR homeFolder = NULL;
    HRESULT homeResult = CallVbox(*virtualBox, VirtualBoxGetHomeFolder, &homeFolder);
    LogWideText(3, "Using VBOX_USER_HOME: %s", homeFolder);
    if (SUCCEEDED(homeResult))
        CompareHomeFolder(homeFolder);
    SysFreeString(homeFolder);
    return result;
}

HRESULT CreateSession(ISession **session)
{
    *session = NULL;
    // The session speaks the generation that the VirtualBox object chose.
    HRESULT result = VboxApi != NULL
        ? CoCreateInstance(ClsidSession, NULL, CLSCTX_INPROC_SERVER, VboxApi->iids[VboxISession], (void **)session)
        : E_UNEXPECTED;
    if (FAILED(result)) {
        *session = NULL;
        WriteLog(1, "ERROR creating session instance (0x%08x)", (unsigned)result);
    }
    return result;
}

void DisconnectVirtualBox(IVirtualBox **virtualBox)
{
    WriteLog(3, "Closing VirtualBox interface");
    if (*virtualBox != NULL) {
        (*virtualBox)->Release();
        *virtualBox = NULL;
    }
    // ConnectVirtualBox always initialised COM, whatever else failed.
    CoUninitialize();
}

HRESULT OpenVirtualBox(void)
{
    HRESULT result = ConnectVirtualBox(&ServiceVirtualBox);
    if (FAILED(result))
        return result;
    return CreateSession(&ServiceSession);
}

void LogClosingVirtualBox(void)
{
    WriteLog(3, "Closing VirtualBox interface");
}

void ReleaseVirtualBox(void)
{
    if (ServiceSession != NULL) {
        ServiceSession->Release();
        ServiceSession = NULL;
    }
    if (ServiceVirtualBox != NULL) {
        ServiceVirtualBox->Release();
        ServiceVirtualBox = NULL;
    }
    // OpenVirtualBox always initialised COM, whatever else failed.
    CoUninitialize();
}

void CloseVirtualBox(void)
{
    LogClosingVirtualBox();
    ReleaseVirtualBox();
}

BSTR ToBstr(const char *text)
{
    // Machine names travel in the ANSI code page, as the INI file holds them.
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    if (length <= 0)
        return NULL;
    BSTR result = SysAllocStringLen(NULL, (UINT)(length - 1));
    if (result != NULL)
        MultiByteToWideChar(CP_ACP, 0, text, -1, result, length);
    return result;
}

int CopyToAnsi(const wchar_t *text, char *buffer, int size)
{
    if (WideCharToMultiByte(CP_ACP, 0, text != NULL ? text : L"", -1, buffer, size, NULL, NULL) > 0)
        return 1;
    buffer[0] = '\0';
    return 0;
}

int FindMachine(IVirtualBox *virtualBox, const char *name, IMachine **machine, HRESULT *lookup)
{
    *machine = NULL;
    if (lookup != NULL)
        *lookup = E_POINTER;
    // Connecting failed and has been logged; there is nothing to ask.
    if (virtualBox == NULL)
        return 0;

    BSTR wideName = ToBstr(name);
    HRESULT result = wideName != NULL ? CallVbox(virtualBox, VirtualBoxFindMachine, wideName, machine) : E_OUTOFMEMORY;
    if (SUCCEEDED(result) && *machine == NULL)
        result = E_POINTER;
    if (FAILED(result)) {
        *machine = NULL;
        if (result == VBOX_E_OBJECT_NOT_FOUND)
            WriteLog(1, "ERROR: Could not find registered VM '%s'", name);
        else
            WriteLog(1, "ERROR getting virtual machine interface (0x%08x)", (unsigned)result);
    }
    SysFreeString(wideName);
    if (lookup != NULL)
        *lookup = result;
    return SUCCEEDED(result);
}

// Results that say the connection is dead, not that the question failed.
int IsServerGone(HRESULT result)
{
    static const HRESULT gone[] = {
        RPC_E_DISCONNECTED, RPC_E_SERVER_DIED, RPC_E_SERVER_DIED_DNE, CO_E_OBJNOTCONNECTED,
        HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), HRESULT_FROM_WIN32(RPC_S_CALL_FAILED),
        HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE),
    };
    for (size_t i = 0; i < sizeof(gone) / sizeof(gone[0]); i++) {
        if (result == gone[i])
            return 1;
    }
    return 0;
}
