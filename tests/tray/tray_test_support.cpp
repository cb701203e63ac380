#include "tray_test_support.h"

#include <string.h>

#include "menu_icons.h"
#include "service_list.h"
#include "test_support.h"
#include "tray_menu.h"
#include "tray_shell.h"
#include "update_check.h"

void UseTrayFolder(const std::string &folder)
{
    std::string program = folder + "pelorintray.exe";
    lstrcpynA(TrayProgramPath, program.c_str(), sizeof(TrayProgramPath));
}

std::string ServiceIni(const std::string &vmName, const std::string &extra)
{
    return "[Pelorin]\r\nVmName=" + vmName + "\r\n" + extra;
}

void TrayTest::SetUp()
{
    DestroyTrayMenu();
    FreeServiceList();
    TrayEntryCount = -1;
    TrayProgramPath[0] = '\0';
    memset(&TrayIcon, 0, sizeof(TrayIcon));
    // An empty bitmap cache, this program's icons, and a shell not yet closed.
    StartTrayShell(GetModuleHandleA(NULL));
    WindowsMajorVersion = 6;
}

void TrayTest::TearDown()
{
    // A check a test left running must not answer in the next one.
    EndUpdateCheck();
    DestroyTrayMenu();
    FreeServiceList();
}

std::vector<MenuItem> ReadMenu(HMENU menu)
{
    std::vector<MenuItem> items;
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; i++) {
        char text[1024] = "";
        MENUITEMINFOA info;
        ZeroMemory(&info, sizeof(info));
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING | MIIM_BITMAP;
        info.dwTypeData = text;
        info.cch = sizeof(text);
        MenuItem item;
        if (GetMenuItemInfoA(menu, i, TRUE, &info)) {
            item.text = text;
            item.id = info.wID;
            item.grayed = (info.fState & MFS_GRAYED) != 0;
            item.checked = (info.fState & MFS_CHECKED) != 0;
            item.separator = (info.fType & MFT_SEPARATOR) != 0;
            item.submenu = info.hSubMenu;
            item.bitmap = info.hbmpItem;
        }
        items.push_back(item);
    }
    return items;
}

std::vector<std::string> MenuTexts(HMENU menu)
{
    std::vector<std::string> texts;
    for (const MenuItem &item : ReadMenu(menu))
        texts.push_back(item.separator ? "-" : item.text);
    return texts;
}

int DefaultItemPosition(HMENU menu)
{
    UINT position = GetMenuDefaultItem(menu, TRUE, 0);
    return position == (UINT)-1 ? -1 : (int)position;
}

static void InstallService(const std::string &name, const std::string &exe, DWORD startType, const char *account)
{
    RemoveServiceIfPresent(name);
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(manager != NULL);
    // Only LocalSystem may run an interactive service.
    DWORD type = account != NULL ? SERVICE_WIN32_OWN_PROCESS : SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    SC_HANDLE service = CreateServiceA(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, type, startType,
                                       SERVICE_ERROR_NORMAL, Quote(exe).c_str(), NULL, NULL, NULL, account,
                                       account != NULL ? "" : NULL);
    DWORD error = GetLastError();
    CloseServiceHandle(manager);
    ASSERT_TRUE(service != NULL) << "CreateServiceA " << name << " failed: " << error;
    CloseServiceHandle(service);
}

TestService InstallTestService(const std::string &folder, const std::string &name, DWORD startType,
                               const char *account)
{
    TestService service;
    service.name = name;
    service.exe = CopyBuiltProgram("traytestservice.exe", folder, name + ".exe");
    service.ini = folder + name + ".ini";
    service.stops = folder + name + ".stops";
    WriteTextFile(service.ini, ServiceIni(name + " VM", "[TestService]\r\nState=running\r\n"));
    DeleteFileA(service.stops.c_str());
    InstallService(name, service.exe, startType, account);
    return service;
}

void SetTestServiceState(const TestService &service, const char *state)
{
    WritePrivateProfileStringA("TestService", "State", state, service.ini.c_str());
}

static DWORD QueryConfigValue(const std::string &name, bool serviceType)
{
    DWORD value = 0;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, name.c_str(), SERVICE_QUERY_CONFIG) : NULL;
    if (service != NULL) {
        std::vector<char> buffer(8192);
        DWORD needed = 0;
        QUERY_SERVICE_CONFIGA *config = (QUERY_SERVICE_CONFIGA *)buffer.data();
        if (QueryServiceConfigA(service, config, (DWORD)buffer.size(), &needed))
            value = serviceType ? config->dwServiceType : config->dwStartType;
        CloseServiceHandle(service);
    }
    if (manager != NULL)
        CloseServiceHandle(manager);
    return value;
}

DWORD QueryStartType(const std::string &name)
{
    return QueryConfigValue(name, false);
}

DWORD QueryServiceType(const std::string &name)
{
    return QueryConfigValue(name, true);
}

void ChangeStartType(const std::string &name, DWORD startType)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, name.c_str(), SERVICE_CHANGE_CONFIG) : NULL;
    if (service != NULL) {
        ChangeServiceConfigA(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL, NULL,
                             NULL, NULL);
        CloseServiceHandle(service);
    }
    if (manager != NULL)
        CloseServiceHandle(manager);
}

bool PumpMessagesUntil(const std::function<bool()> &done, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
    }
    return true;
}
