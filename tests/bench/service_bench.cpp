// Prints what the service costs under Wine's Service Control Manager with the
// stand-in, as medians beside their floors: start to RUNNING and stop to
// STOPPED against a minimal service of ours, each control pipe question
// against its floor: a bare pipe round trip plus as many bare cross-process
// calls as the question makes (counted from the stand-in's journal, so that
// the floor follows the service's code), a bare VirtualBox connection (which a
// question no longer opens), the first pipe question after a start beside the
// next one, and the service's CPU time and peak working set while its machine
// runs. Not a test.
#include <windows.h>
#include <process.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>

#include "bench_support.h"
#include "control_pipe.h"
#include "pipe_harness.h"
#include "service_harness.h"
#include "settings.h"
#include "standin_client.h"
#include "test_support.h"
#include "vbox_session.h"
#include "vm_queries.h"

namespace {

const char BenchVmName[] = "Bench VM";
const char FloorPipe[] = "\\\\.\\pipe\\pelorin-bench-floor";

void PutBenchMachine(void)
{
    StandinMachine machine = {};
    strcpy(machine.name, BenchVmName);
    strcpy(machine.uuid, "0b7e2b4e-6a0c-4f7e-8a54-3c1f2d9e8b10");
    machine.state = 1;
    machine.vrdeEnabled = 1;
    machine.vrdePort = 3389;
    StandinPutMachine(&machine);
}

void WaitForBenchMachine(long state)
{
    StandinMachine machine = {};
    for (int i = 0; i < 3000 && (!StandinGetMachine(BenchVmName, &machine) || machine.state != state); i++)
        Sleep(2);
}

void WaitForState(const std::string &name, DWORD state)
{
    for (int i = 0; i < 30000 && QueryServiceStatusOf(name).dwCurrentState != state; i++)
        Sleep(1);
}

void WaitForProcessEnd(DWORD pid)
{
    HANDLE process = pid != 0 ? OpenProcess(SYNCHRONIZE, FALSE, pid) : NULL;
    if (process != NULL) {
        WaitForSingleObject(process, 30000);
        CloseHandle(process);
    }
}

// Start to RUNNING and stop to STOPPED, each a median; the machine (if any)
// is running before the stop is asked for, and the process gone before the next start.
void MeasureStartStop(const char *label, const std::string &name, int runs, bool machine)
{
    std::vector<double> starts, stops;
    for (int i = 0; i < runs; i++) {
        if (machine)
            PutBenchMachine();
        double begin = NowMs();
        StartServiceByName(name);
        WaitForState(name, SERVICE_RUNNING);
        starts.push_back(NowMs() - begin);
        DWORD pid = ServiceProcessId(name);
        if (machine)
            WaitForBenchMachine(5);
        begin = NowMs();
        StopServiceByName(name);
        WaitForState(name, SERVICE_STOPPED);
        stops.push_back(NowMs() - begin);
        WaitForProcessEnd(pid);
    }
    printf("  %-52s %9.1f ms  (median of %d)\n", (std::string(label) + ": start to RUNNING").c_str(), Median(starts), runs);
    printf("  %-52s %9.1f ms  (median of %d)\n", (std::string(label) + ": stop to STOPPED").c_str(), Median(stops), runs);
}

// The first pipe request after the service reports running, beside a
// later one: the pipe's VirtualBox connection is opened as the service
// starts, or at that first request.
void MeasureFirstRequest(const std::string &name, int runs)
{
    std::vector<double> firsts, laters;
    for (int i = 0; i < runs; i++) {
        PutBenchMachine();
        StartServiceByName(name);
        WaitForState(name, SERVICE_RUNNING);
        DWORD pid = ServiceProcessId(name);
        double begin = NowMs();
        AskControlPipe(BenchVmName, VrdeEnabled);
        firsts.push_back(NowMs() - begin);
        begin = NowMs();
        AskControlPipe(BenchVmName, VrdeEnabled);
        laters.push_back(NowMs() - begin);
        WaitForBenchMachine(5);
        StopServiceByName(name);
        WaitForState(name, SERVICE_STOPPED);
        WaitForProcessEnd(pid);
    }
    printf("  %-52s %9.1f ms  (median of %d)\n", "pelorin: first pipe request after RUNNING", Median(firsts), runs);
    printf("  %-52s %9.1f ms  (median of %d)\n", "pelorin: the request after it", Median(laters), runs);
}

unsigned __stdcall ServeFloorPipe(void *)
{
    for (;;) {
        HANDLE pipe = CreateNamedPipeA(FloorPipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 16, 16, 0, NULL);
        if (pipe == INVALID_HANDLE_VALUE)
            return 1;
        if (ConnectNamedPipe(pipe, NULL) || GetLastError() == ERROR_PIPE_CONNECTED) {
            DWORD request = 0, count = 0;
            ReadFile(pipe, &request, sizeof(request), &count, NULL);
            WriteFile(pipe, &request, sizeof(request), &count, NULL);
            FlushFileBuffers(pipe);
            DisconnectNamedPipe(pipe);
        }
        CloseHandle(pipe);
    }
}

// The calls of one question that cross to VirtualBox's server, from the
// lines it adds to the journal: the session's own getters answer in the
// caller's process, and its UnlockMachine makes one call to the server.
int CountCrossingCalls(DWORD question)
{
    // The service's first question opens its connection: not counted.
    AskControlPipe(BenchVmName, question);
    std::vector<std::string> before, after;
    StandinReadJournal(&before);
    AskControlPipe(BenchVmName, question);
    StandinReadJournal(&after);
    int count = 0;
    for (size_t i = before.size(); i < after.size(); i++) {
        const std::string &line = after[i];
        if (line.compare(0, 13, "ISession::get") != 0 && line.compare(0, 9, "Session::") != 0 &&
            line.compare(0, 14, "VBoxHeadless::") != 0)
            count++;
    }
    return count;
}

void BareRoundTrip(void)
{
    HANDLE pipe = INVALID_HANDLE_VALUE;
    while ((pipe = CreateFileA(FloorPipe, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL)) ==
           INVALID_HANDLE_VALUE)
        WaitNamedPipeA(FloorPipe, 100);
    DWORD request = VrdePort, reply = 0, count = 0;
    WriteFile(pipe, &request, sizeof(request), &count, NULL);
    ReadFile(pipe, &reply, sizeof(reply), &count, NULL);
    CloseHandle(pipe);
}

// Wine answers GetProcessTimes for another process with no CPU time at all;
// Linux counts it, per thread in nanoseconds, and Wine's Z: drive shows /proc.
// The CPU time of each thread of the processes whose command line names the
// program, by thread id; empty when none is found.
std::map<std::string, double> LinuxThreadCpuMs(const char *program)
{
    std::map<std::string, double> threads;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE)
        return threads;
    do {
        if (found.cFileName[0] < '1' || found.cFileName[0] > '9')
            continue;
        std::string folder = std::string("Z:\\proc\\") + found.cFileName;
        if (ReadTextFile(folder + "\\cmdline").find(program) == std::string::npos)
            continue;
        WIN32_FIND_DATAA task;
        HANDLE tasks = FindFirstFileA((folder + "\\task\\*").c_str(), &task);
        if (tasks == INVALID_HANDLE_VALUE)
            continue;
        do {
            if (task.cFileName[0] >= '1' && task.cFileName[0] <= '9')
                threads[task.cFileName] =
                    atof(ReadTextFile(folder + "\\task\\" + task.cFileName + "\\schedstat").c_str()) / 1e6;
        } while (FindNextFileA(tasks, &task));
        FindClose(tasks);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return threads;
}

// What the threads spent between two snapshots; a thread that ended
// meanwhile (the pipe's connections of before) is not counted.
double LinuxCpuMsBetween(const std::map<std::string, double> &before, const std::map<std::string, double> &after)
{
    double spent = 0;
    for (const auto &thread : after) {
        auto earlier = before.find(thread.first);
        spent += thread.second - (earlier != before.end() ? earlier->second : 0);
    }
    return spent;
}

double CpuMs(HANDLE process)
{
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user))
        return -1;
    ULARGE_INTEGER k = { { kernel.dwLowDateTime, kernel.dwHighDateTime } };
    ULARGE_INTEGER u = { { user.dwLowDateTime, user.dwHighDateTime } };
    return (double)(k.QuadPart + u.QuadPart) / 10000.0;
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 15;
    std::string folder = MakeTestFolder("service bench");
    std::string install = folder + "VirtualBox";
    CreateDirectoryA(install.c_str(), NULL);
    CopyFileA(StandinHeadlessPath().c_str(), (install + "\\VBoxHeadless.exe").c_str(), FALSE);
    StandinReset();
    PutBenchMachine();

    std::string pelorin = InstallPelorinCopy(folder, "PelorinBench",
        "[Pelorin]\r\nVboxInstallPath=" + install + "\r\nVboxUserHome=C:\\vbox\r\nVmName=" + BenchVmName +
        "\r\nServiceName=Pelorin Bench\r\nShutdownCommand=poweroff\r\nLoglevel=1\r\n");
    std::string floor = "PelorinBenchFloor";
    RemoveServiceIfPresent(floor);
    std::string floorExe = CopyBuiltProgram("traytestservice.exe", folder, floor + ".exe");
    WriteTextFile(folder + floor + ".ini", "[TestService]\r\nState=running\r\n");
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE created = CreateServiceA(manager, floor.c_str(), floor.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       Quote(floorExe).c_str(), NULL, NULL, NULL, NULL, NULL);
    if (created != NULL)
        CloseServiceHandle(created);
    CloseServiceHandle(manager);
    if (pelorin.empty() || created == NULL) {
        printf("could not install the services\n");
        return 1;
    }

    printf("The service under Wine's Service Control Manager, with the stand-in (this machine):\n");
    MeasureStartStop("floor: minimal service", floor, runs, false);
    MeasureStartStop("pelorin, power off", pelorin, runs, true);
    MeasureFirstRequest(pelorin, runs);

    PutBenchMachine();
    StartServiceByName(pelorin);
    WaitForState(pelorin, SERVICE_RUNNING);
    WaitForBenchMachine(5);
    HANDLE server = (HANDLE)_beginthreadex(NULL, 0, ServeFloorPipe, NULL, 0, NULL);
    double pipe = Measure("floor: bare named-pipe round trip", runs * 4, BareRoundTrip);
    CoInitialize(NULL);
    ServiceSettings.Loglevel = 0;
    IVirtualBox *kept = NULL;
    ConnectVirtualBox(&kept);
    double call = Measure("floor: one bare cross-process call (get_Version)", runs * 4, [&] {
        BSTR version = NULL;
        CallVbox(kept, VirtualBoxGetVersion, &version);
        SysFreeString(version);
    });
    DisconnectVirtualBox(&kept);
    const struct {
        DWORD code;
        const char *name;
    } questions[] = { { VrdeEnabled, "VrdeEnabled" }, { VrdePort, "VrdePort" }, { ScreenResolution, "ScreenResolution" } };
    for (const auto &question : questions) {
        DWORD code = question.code;
        int calls = CountCrossingCalls(code);
        double asked = Measure((std::string("pelorin: one pipe question (") + question.name + ")").c_str(), runs * 4,
                               [code] { AskControlPipe(BenchVmName, code); });
        std::string label = std::string("pelorin: ") + question.name + " / (round trip + " + std::to_string(calls) + " calls)";
        printf("  %-52s %9.2f x  (target 1.2 at most)\n", label.c_str(), asked / (pipe + calls * call));
    }
    double connection = Measure("floor: bare VirtualBox connection and session", runs * 4, [] {
        IVirtualBox *virtualBox = NULL;
        ISession *session = NULL;
        if (SUCCEEDED(ConnectVirtualBox(&virtualBox)))
            CreateSession(&session);
        if (session != NULL)
            session->Release();
        DisconnectVirtualBox(&virtualBox);
    });
    CoUninitialize();
    printf("  %-52s %9.3f ms\n", "floor: the two together", pipe + connection);

    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, ServiceProcessId(pelorin));
    std::map<std::string, double> threadsBefore = LinuxThreadCpuMs("PelorinBench.exe");
    double before = CpuMs(process);
    Sleep(10000);
    double after = CpuMs(process);
    if (!threadsBefore.empty()) {
        before = 0;
        after = LinuxCpuMsBetween(threadsBefore, LinuxThreadCpuMs("PelorinBench.exe"));
    }
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    BOOL measured = GetProcessMemoryInfo(process, &memory, sizeof(memory));
    printf("  %-52s %9.1f ms\n", "pelorin: CPU time over 10 idle seconds", before < 0 ? -1.0 : after - before);
    printf("  %-52s %9.1f MB%s\n", "pelorin: peak working set", memory.PeakWorkingSetSize / 1048576.0,
           measured ? "" : " (not available)");
    if (process != NULL)
        CloseHandle(process);

    RemovePelorinCopy(pelorin);
    RemoveServiceIfPresent(floor);
    StandinReset();
    // The floor server's thread ends with the process.
    CloseHandle(server);
    return 0;
}
