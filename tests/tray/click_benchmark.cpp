// What one click on the tray icon costs before the menu shows: destroying
// the last menu, polling every listed service and building the new menu,
// which asks each running service over its control pipe whether its remote
// display is enabled. For 1, 10 and 50 running services whose pipes answer
// "enabled", beside the same click with no pipe listening (each request
// then fails at the open), and beside the floor: the same number of bare
// OpenServiceA + QueryServiceStatus calls on one manager handle plus one bare
// pipe round trip each. Then the first menu's icon conversion against later
// menus. Prints medians over repeated runs; run it through scripts/benchmark.sh.
#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control_pipe.h"
#include "menu_icons.h"
#include "pipe_client.h"
#include "resource.h"
#include "scripted_pipe.h"
#include "service_list.h"
#include "test_support.h"
#include "tray_menu.h"
#include "tray_shell.h"

namespace {

const int Runs = 41;
const int MostServices = 50;

std::string ServiceName(int i)
{
    char name[32];
    snprintf(name, sizeof(name), "TrayBench%03d", i);
    return name;
}

std::string VmName(int i)
{
    return "Bench " + ServiceName(i);
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

// Runs the variants in turn, run after run, so that the machine's changing
// load falls on all of them alike; a variant's setup (not timed) comes first.
struct Variant {
    std::function<void()> setup, work;
};
std::vector<double> MediansOf(const std::vector<Variant> &variants)
{
    std::vector<std::vector<double>> times(variants.size());
    for (int run = 0; run < Runs; run++) {
        for (size_t v = 0; v < variants.size(); v++) {
            if (variants[v].setup)
                variants[v].setup();
            LARGE_INTEGER start, end;
            QueryPerformanceCounter(&start);
            variants[v].work();
            QueryPerformanceCounter(&end);
            times[v].push_back(Milliseconds(start, end));
        }
    }
    std::vector<double> medians;
    for (const std::vector<double> &variant : times)
        medians.push_back(Median(variant));
    return medians;
}

// Points every listed entry at its service's pipe, or at a name no pipe has.
void UsePipes(bool listening)
{
    for (int i = 0; i < TrayEntryCount; i++)
        lstrcpynA(TrayEntries[i].VmName, (listening ? VmName(i) : "No pipe " + VmName(i)).c_str(),
                  sizeof(TrayEntries[i].VmName));
}

// Installs and starts the services, each with its own INI file; they read
// their INI once a minute only, so that fifty of them stay idle.
bool StartServices(const std::string &folder)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL)
        return false;
    bool done = true;
    for (int i = 0; i < MostServices && done; i++) {
        std::string name = ServiceName(i);
        RemoveServiceIfPresent(name);
        std::string exe = CopyBuiltProgram("traytestservice.exe", folder, name + ".exe");
        WriteTextFile(folder + name + ".ini", "[Pelorin]\r\nVmName=" + VmName(i) +
                                                  "\r\n[TestService]\r\nState=running\r\nPollMs=60000\r\n");
        SC_HANDLE service = CreateServiceA(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
                                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, Quote(exe).c_str(), NULL,
                                           NULL, NULL, NULL, NULL);
        done = service != NULL && StartServiceA(service, 0, NULL);
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
    LoadServiceList();
}

void Click()
{
    DestroyTrayMenu();
    BuildTrayMenu(PollServices());
}

void Floor(int count)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT);
    for (int i = 0; i < count; i++) {
        SC_HANDLE service = OpenServiceA(manager, ServiceName(i).c_str(), GENERIC_READ | SERVICE_START | SERVICE_STOP);
        SERVICE_STATUS status;
        QueryServiceStatus(service, &status);
        CloseServiceHandle(service);
        char name[PIPE_NAME_SIZE];
        ComposePipeName(name, VmName(i).c_str());
        HANDLE pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        DWORD code = VrdeEnabled, reply = 0, bytes = 0;
        WriteFile(pipe, &code, sizeof(code), &bytes, NULL);
        ReadFile(pipe, &reply, sizeof(reply), &bytes, NULL);
        CloseHandle(pipe);
    }
    CloseServiceHandle(manager);
}

} // namespace

int main()
{
    std::string folder = MakeTestFolder("tray click benchmark");
    if (!StartServices(folder)) {
        fprintf(stderr, "could not install and start the services\n");
        return 1;
    }
    // The real shell around it: the hidden dialog and its notification icon,
    // whose tooltip every poll rewrites. The program path names no file with
    // a version block, so the dialog's start-up skips the update check.
    lstrcpynA(TrayProgramPath, (folder + "pelorintray.exe").c_str(), sizeof(TrayProgramPath));
    ListServices(folder, 0);
    StartTrayShell(GetModuleHandleA(NULL));
    HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_TRAY), NULL, TrayDialogProc, 0);

    printf("One click on the tray icon (destroy the menu, poll, build), running services, median of %d runs, in ms\n",
           Runs);
    printf("%9s %12s %12s %12s %12s\n", "services", "click", "no pipe", "floor", "click/floor");
    const int counts[] = { 1, 10, MostServices };
    for (int count : counts) {
        ListServices(folder, count);
        std::vector<std::unique_ptr<ScriptedPipeServer>> servers;
        for (int i = 0; i < count; i++)
            servers.emplace_back(new ScriptedPipeServer(VmName(i), { { VrdeEnabled, 1 } }));
        std::vector<double> medians = MediansOf({
            { []() { UsePipes(true); }, Click },
            { []() { UsePipes(false); }, Click },
            { NULL, [count]() { Floor(count); } },
        });
        printf("%9d %12.3f %12.3f %12.3f %12.2f\n", count, medians[0], medians[1], medians[2], medians[0] / medians[2]);
    }
    {
        ScriptedPipeServer server(VmName(0), { { VrdeEnabled, 1 } });
        std::vector<double> medians = MediansOf({
            { NULL, []() { RequestVrdeEnabled(VmName(0).c_str()); } },
            { NULL, []() { RequestVrdeEnabled(("No pipe " + VmName(0)).c_str()); } },
        });
        printf("One RequestVrdeEnabled: %.3f ms answered, %.3f ms with no pipe listening\n", medians[0], medians[1]);
    }

    // The state icons are converted at the first menu that shows them and
    // kept: ten services in four states, no pipe listening.
    ListServices(folder, 10);
    UsePipes(false);
    const int states[] = { Running, Stopped, StartPending, ServiceNotFound };
    auto build = [&states]() {
        DestroyTrayMenu();
        for (int i = 0; i < 10; i++)
            TrayEntries[i].State = states[i % 4];
        BuildTrayMenu(PollSucceeded);
    };
    HICON icon = LoadStateIcon(Running);
    std::vector<double> medians = MediansOf({
        { FreeMenuBitmaps, build },
        { NULL, build },
        { NULL, [icon]() { DeleteObject(IconToMenuBitmap(icon)); } },
    });
    DestroyIcon(icon);
    printf("\nBuilding the menu of 10 services in 4 states, median of %d runs, in ms\n", Runs);
    printf("%34s %10.3f\n%34s %10.3f\n%34s %10.3f\n", "first menu (4 icons converted)", medians[0],
           "later menus (bitmaps kept)", medians[1], "one conversion (IconToMenuBitmap)", medians[2]);

    DestroyTrayMenu();
    CleanupTray();
    if (dialog != NULL)
        DestroyWindow(dialog);
    for (int i = 0; i < MostServices; i++)
        RemoveServiceIfPresent(ServiceName(i));
    RemoveTree(folder);
    return 0;
}
