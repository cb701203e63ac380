// What one click on the tray icon costs before the menu shows: destroying
// the last menu, polling every listed service and building the new menu,
// for 1, 10 and 100 watched services. Beside it, the floor: the same number
// of bare OpenServiceA + QueryServiceStatus calls on one manager handle.
// Prints medians over repeated runs; run it through scripts/benchmark.sh.
#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "resource.h"
#include "service_list.h"
#include "test_support.h"
#include "tray_menu.h"
#include "tray_shell.h"

namespace {

const int Runs = 41;
const int MostServices = 100;

std::string ServiceName(int i)
{
    char name[32];
    snprintf(name, sizeof(name), "TrayBench%03d", i);
    return name;
}

double Milliseconds(const LARGE_INTEGER &start, const LARGE_INTEGER &end)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Installs the services (never started: stopped ones answer like running ones)
// with one INI file each.
bool InstallServices(const std::string &folder)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL)
        return false;
    std::string exe = CopyBuiltProgram("traytestservice.exe", folder, "TrayBench.exe");
    bool done = true;
    for (int i = 0; i < MostServices && done; i++) {
        std::string name = ServiceName(i);
        RemoveServiceIfPresent(name);
        WriteTextFile(folder + name + ".ini", "[Pelorin]\r\nVmName=Bench " + name + "\r\n");
        SC_HANDLE service = CreateServiceA(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
                                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, Quote(exe).c_str(), NULL,
                                           NULL, NULL, NULL, NULL);
        done = service != NULL;
        if (service != NULL)
            CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return done;
}

void ListServices(const std::string &folder, int count)
{
    std::string ini;
    for (int i = 0; i < count; i++)
        ini += "[" + ServiceName(i) + "]\r\nConfigFile=" + folder + ServiceName(i) + ".ini\r\n";
    WriteTextFile(folder + "pelorintray.ini", ini);
}

double MeasureClick()
{
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    DestroyTrayMenu();
    BuildTrayMenu(PollServices());
    QueryPerformanceCounter(&end);
    return Milliseconds(start, end);
}

double MeasureFloor(int count)
{
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    SC_HANDLE manager = OpenSCManagerA(NULL, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT);
    for (int i = 0; i < count; i++) {
        SC_HANDLE service = OpenServiceA(manager, ServiceName(i).c_str(), GENERIC_READ | SERVICE_START | SERVICE_STOP);
        SERVICE_STATUS status;
        QueryServiceStatus(service, &status);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    QueryPerformanceCounter(&end);
    return Milliseconds(start, end);
}

} // namespace

int main()
{
    std::string folder = MakeTestFolder("tray click benchmark");
    if (!InstallServices(folder)) {
        fprintf(stderr, "could not install the services\n");
        return 1;
    }
    // The real shell around it: the hidden dialog and its notification icon,
    // whose tooltip every poll rewrites.
    lstrcpynA(TrayProgramPath, (folder + "pelorintray.exe").c_str(), sizeof(TrayProgramPath));
    ListServices(folder, 0);
    StartTrayShell(GetModuleHandleA(NULL));
    HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_TRAY), NULL, TrayDialogProc, 0);

    printf("One click on the tray icon (destroy the menu, poll, build), median of %d runs, in ms\n", Runs);
    printf("%9s %12s %12s %12s %16s\n", "services", "click", "floor", "click/floor", "click/service");
    const int counts[] = { 1, 10, 100 };
    for (int count : counts) {
        ListServices(folder, count);
        LoadServiceList();
        std::vector<double> clicks, floors;
        for (int run = 0; run < Runs; run++) {
            clicks.push_back(MeasureClick());
            floors.push_back(MeasureFloor(count));
        }
        double click = Median(clicks);
        double floor = Median(floors);
        printf("%9d %12.3f %12.3f %12.2f %16.3f\n", count, click, floor, click / floor, click / count);
    }

    DestroyTrayMenu();
    CleanupTray();
    if (dialog != NULL)
        DestroyWindow(dialog);
    for (int i = 0; i < MostServices; i++)
        RemoveServiceIfPresent(ServiceName(i));
    RemoveTree(folder);
    return 0;
}
