// What one click on the tray icon costs before the menu shows: destroying
// the last menu, polling every listed service and building the new menu,
// which asks every running machine's service at once, over its control
// pipe, whether its remote display is enabled. The services are copies of
// the test service, each answering "enabled" on its own pipe from its own
// process, as pelorin does, after 20 ms (about what pelorin's answer takes)
// or at once. For 1, 5 and 20 running machines, beside the floor: the same
// click with no pipe listening plus the slowest single request. Then a
// click with 5 services that accept and never answer, beside the pipe
// client's deadline plus the usual click. Then the first menu's icon
// conversion against later menus. Prints medians over repeated runs; run it
// through scripts/benchmark.sh.
#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "command_ids.h"
#include "control_pipe.h"
#include "menu_icons.h"
#include "pipe_client.h"
#include "resource.h"
#include "service_list.h"
#include "test_support.h"
#include "tray_menu.h"
#include "tray_shell.h"

namespace {

const int Runs = 41;
const int SilentRuns = 7; // each waits for the deadline
const int MostServices = 20;
const int SilentServices = 5;

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
std::vector<double> MediansOf(const std::vector<Variant> &variants, int runs = Runs)
{
    std::vector<std::vector<double>> times(variants.size());
    for (int run = 0; run < runs; run++) {
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

std::string ServiceIni(const std::string &folder, int i)
{
    return folder + ServiceName(i) + ".ini";
}

// Installs and starts the services, each with its own INI file and pipe;
// they read their state once a minute only, so that they stay idle.
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
        WriteTextFile(ServiceIni(folder, i), "[Pelorin]\r\nVmName=" + VmName(i) +
                                                 "\r\n[TestService]\r\nState=running\r\nPollMs=60000\r\nPipeReply=1\r\n");
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
        ini += "[" + ServiceName(i) + "]\r\nConfigFile=" + ServiceIni(folder, i) + "\r\n";
    WriteTextFile(folder + "pelorintray.ini", ini);
    LoadServiceList();
    PollServices();
}

void Click()
{
    DestroyTrayMenu();
    BuildTrayMenu(PollServices());
}

// Whether the last click's menu offers "VRDP console" for every service.
bool AllOffered(int count)
{
    for (int i = 0; i < count; i++) {
        if (GetMenuState(ServiceMenus[i], ServiceCommandId(i, CommandVrdpConsole), MF_BYCOMMAND) & MF_GRAYED)
            return false;
    }
    return true;
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

    printf("One click on the tray icon (destroy the menu, poll, build), running machines, median of %d runs, in ms\n",
           Runs);
    printf("%9s %8s %10s %10s %10s %10s %12s\n", "machines", "answer", "click", "no pipe", "slowest 1", "floor",
           "click/floor");
    // After 20 ms, about what pelorin's own answer takes through the
    // stand-in (its VirtualBox calls); at once, the test service's work alone.
    const char *delays[] = { "20", "0" };
    const int counts[] = { 1, 5, MostServices };
    for (const char *delay : delays) {
        for (int i = 0; i < MostServices; i++)
            WritePrivateProfileStringA("TestService", "PipeDelayMs", delay, ServiceIni(folder, i).c_str());
        for (int count : counts) {
            ListServices(folder, count);
            UsePipes(true);
            Click();
            if (!AllOffered(count)) {
                fprintf(stderr, "not every service answered \"enabled\"\n");
                return 1;
            }
            std::vector<Variant> variants = {
                { []() { UsePipes(true); }, Click },
                { []() { UsePipes(false); }, Click },
            };
            // Each service's single request, on its own.
            for (int i = 0; i < count; i++)
                variants.push_back({ NULL, [i]() { RequestVrdeEnabled(VmName(i).c_str(), TrayEntries[i].ProcessId); } });
            std::vector<double> medians = MediansOf(variants);
            double slowest = *std::max_element(medians.begin() + 2, medians.end());
            double floor = medians[1] + slowest;
            printf("%9d %5s ms %10.3f %10.3f %10.3f %10.3f %12.2f\n", count, delay, medians[0], medians[1], slowest,
                   floor, medians[0] / floor);
        }
    }
    {
        ListServices(folder, SilentServices);
        UsePipes(true);
        std::vector<double> usual = MediansOf({ { NULL, Click } });
        for (int i = 0; i < SilentServices; i++)
            WritePrivateProfileStringA("TestService", "PipeDelayMs", "never", ServiceIni(folder, i).c_str());
        std::vector<double> silent = MediansOf({ { NULL, Click } }, SilentRuns);
        for (int i = 0; i < SilentServices; i++)
            WritePrivateProfileStringA("TestService", "PipeDelayMs", "0", ServiceIni(folder, i).c_str());
        printf("%d machines that accept and never answer: click %.1f ms (median of %d), deadline %d ms + usual click "
               "%.1f ms = %.1f ms\n",
               SilentServices, silent[0], SilentRuns, PIPE_DEADLINE_MS, usual[0], PIPE_DEADLINE_MS + usual[0]);
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
