#ifndef PELORIN_TRAY_TEST_SUPPORT_H
#define PELORIN_TRAY_TEST_SUPPORT_H

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "service_harness.h"

// Points the tray at "<folder>pelorintray.exe", so that it reads
// "<folder>pelorintray.ini"; the program file itself need not exist.
void UseTrayFolder(const std::string &folder);

// The text of a service INI file that the tray can list.
std::string ServiceIni(const std::string &vmName, const std::string &extra = "");

// Each test starts from no list, no menu and no icon, on Vista or later.
class TrayTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// One menu item as the menu functions report it.
struct MenuItem {
    std::string text;
    UINT id = 0;
    bool grayed = false;
    bool checked = false;
    bool separator = false;
    HMENU submenu = NULL;
    HBITMAP bitmap = NULL;
};
std::vector<MenuItem> ReadMenu(HMENU menu);
std::vector<std::string> MenuTexts(HMENU menu);
// The position of the default item, or -1.
int DefaultItemPosition(HMENU menu);

// A copy of the controllable test service, installed as <name> and started on
// demand; its INI holds [Pelorin] VmName=<name> VM and [TestService] State=running.
// It runs as LocalSystem, interactive, as -i installs pelorin; given an
// account, as that account, no longer interactive, as an administrator may
// change it.
struct TestService {
    std::string name;
    std::string exe;
    std::string ini;
    std::string stops; // one line per stop control the service received
};
TestService InstallTestService(const std::string &folder, const std::string &name,
                               DWORD startType = SERVICE_DEMAND_START, const char *account = NULL);
// "running", "start pending", "stop pending", "paused" or "stopped".
void SetTestServiceState(const TestService &service, const char *state);
DWORD QueryStartType(const std::string &name);
DWORD QueryServiceType(const std::string &name);
void ChangeStartType(const std::string &name, DWORD startType);

// Dispatches messages until done() holds or the time runs out; returns done().
bool PumpMessagesUntil(const std::function<bool()> &done, DWORD timeoutMs = 10000);

#endif
