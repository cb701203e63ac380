#include "service_harness.h"

#include <process.h>

#include <mutex>

#include "import_hook.h"
#include "test_support.h"

namespace {

std::mutex ReportsLock;
std::vector<StatusReport> Reports;
void *RealSetServiceStatus;

StatusReport ReportOf(const SERVICE_STATUS &status)
{
    StatusReport report = { status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint, status.dwWin32ExitCode,
                            status.dwServiceSpecificExitCode, status.dwControlsAccepted };
    return report;
}

BOOL WINAPI RecordSetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status)
{
    std::lock_guard<std::mutex> hold(ReportsLock);
    Reports.push_back(ReportOf(*status));
    return TRUE;
}

SC_HANDLE OpenNamedService(const std::string &name, DWORD access, SC_HANDLE *manager)
{
    *manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    return *manager != NULL ? OpenServiceA(*manager, name.c_str(), access) : NULL;
}

void CloseNamedService(SC_HANDLE service, SC_HANDLE manager)
{
    if (service != NULL)
        CloseServiceHandle(service);
    if (manager != NULL)
        CloseServiceHandle(manager);
}

std::string SampledName;
volatile LONG Sampling;
HANDLE Sampler;
std::mutex SamplesLock;
DWORD SampledProcess;
std::vector<StatusReport> Samples;

unsigned __stdcall SampleStatus(void *)
{
    // One sample more after the end is asked for: the state that ended it.
    for (;;) {
        LONG sampling = Sampling;
        // A fresh handle each time: Wine answers a long-held one with a stale status.
        SC_HANDLE manager = NULL;
        SC_HANDLE service = OpenNamedService(SampledName, SERVICE_QUERY_STATUS, &manager);
        SERVICE_STATUS_PROCESS status;
        DWORD needed = 0;
        if (service != NULL && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)&status, sizeof(status), &needed)) {
            if (status.dwProcessId != 0)
                SampledProcess = status.dwProcessId;
            SERVICE_STATUS plain;
            memcpy(&plain, &status, sizeof(plain));
            StatusReport report = ReportOf(plain);
            std::lock_guard<std::mutex> hold(SamplesLock);
            if (Samples.empty() || memcmp(&Samples.back(), &report, sizeof(report)) != 0)
                Samples.push_back(report);
        }
        CloseNamedService(service, manager);
        if (!sampling)
            break;
        Sleep(2);
    }
    return 0;
}

}  // namespace

void StartRecordingStatus(void)
{
    std::lock_guard<std::mutex> hold(ReportsLock);
    Reports.clear();
    if (RealSetServiceStatus == NULL)
        RealSetServiceStatus = ReplaceImport("advapi32.dll", "SetServiceStatus", (void *)RecordSetServiceStatus);
}

void StopRecordingStatus(void)
{
    if (RealSetServiceStatus != NULL)
        ReplaceImport("advapi32.dll", "SetServiceStatus", RealSetServiceStatus);
    RealSetServiceStatus = NULL;
}

std::vector<StatusReport> RecordedStatus(void)
{
    std::lock_guard<std::mutex> hold(ReportsLock);
    return Reports;
}

bool WaitForRecordedState(DWORD state, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited <= timeoutMs; waited += 20) {
        for (const StatusReport &report : RecordedStatus()) {
            if (report.state == state)
                return true;
        }
        Sleep(20);
    }
    return false;
}

// Wine's RPC runtime binds the first calls that two threads make at once to
// separate associations in the Service Control Manager; a handle opened
// through one is then unknown on the other's connection, and a call made
// with it fails with ERROR_INVALID_HANDLE (seen as StartService failing
// while the sampler polled). One handle held for the process's life keeps a
// single association, which every later connection joins.
static void HoldManagerAssociation(void)
{
    static SC_HANDLE held = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    (void)held;
}

void StartSamplingStatus(const std::string &name)
{
    HoldManagerAssociation();
    SampledName = name;
    Samples.clear();
    SampledProcess = 0;
    Sampling = 1;
    Sampler = (HANDLE)_beginthreadex(NULL, 0, SampleStatus, NULL, 0, NULL);
}

std::vector<StatusReport> StopSamplingStatus(void)
{
    Sampling = 0;
    if (Sampler != NULL) {
        WaitForSingleObject(Sampler, INFINITE);
        CloseHandle(Sampler);
        Sampler = NULL;
    }
    // Wine refuses or delays a new start while the last process still exits.
    HANDLE process = SampledProcess != 0 ? OpenProcess(SYNCHRONIZE, FALSE, SampledProcess) : NULL;
    if (process != NULL) {
        WaitForSingleObject(process, 30000);
        CloseHandle(process);
    }
    return Samples;
}

bool WaitForSampledState(DWORD state, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited <= timeoutMs; waited += 10) {
        {
            std::lock_guard<std::mutex> hold(SamplesLock);
            bool started = false;
            for (const StatusReport &report : Samples) {
                if (report.state == state)
                    return true;
                // A stop after the start: this run can show no other state.
                if (started && report.state == SERVICE_STOPPED)
                    return false;
                started = started || report.state == SERVICE_START_PENDING;
            }
        }
        Sleep(10);
    }
    return false;
}

std::vector<DWORD> StatesOf(const std::vector<StatusReport> &reports)
{
    std::vector<DWORD> states;
    for (const StatusReport &report : reports) {
        if (states.empty() || states.back() != report.state)
            states.push_back(report.state);
    }
    return states;
}

SERVICE_STATUS QueryServiceStatusOf(const std::string &name)
{
    SERVICE_STATUS status = {};
    SC_HANDLE manager = NULL;
    SC_HANDLE service = OpenNamedService(name, SERVICE_QUERY_STATUS, &manager);
    if (service != NULL)
        QueryServiceStatus(service, &status);
    CloseNamedService(service, manager);
    return status;
}

DWORD WaitForServiceState(const std::string &name, DWORD wanted, DWORD timeoutMs)
{
    DWORD state = 0;
    for (DWORD waited = 0; waited <= timeoutMs; waited += 20) {
        state = QueryServiceStatusOf(name).dwCurrentState;
        if (state == wanted)
            break;
        Sleep(20);
    }
    return state;
}

DWORD StartServiceByName(const std::string &name)
{
    SC_HANDLE manager = NULL;
    SC_HANDLE service = OpenNamedService(name, SERVICE_START, &manager);
    DWORD error = service == NULL ? GetLastError() : StartServiceA(service, 0, NULL) ? 0 : GetLastError();
    CloseNamedService(service, manager);
    return error;
}

DWORD StopServiceByName(const std::string &name)
{
    SC_HANDLE manager = NULL;
    SC_HANDLE service = OpenNamedService(name, SERVICE_STOP, &manager);
    SERVICE_STATUS status;
    DWORD error = service == NULL ? GetLastError() : ControlService(service, SERVICE_CONTROL_STOP, &status) ? 0 : GetLastError();
    CloseNamedService(service, manager);
    return error;
}

std::string ServiceDisplayName(const std::string &name)
{
    std::string display;
    SC_HANDLE manager = NULL;
    SC_HANDLE service = OpenNamedService(name, SERVICE_QUERY_CONFIG, &manager);
    DWORD needed = 0;
    if (service != NULL && !QueryServiceConfigA(service, NULL, 0, &needed) && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        std::vector<BYTE> buffer(needed);
        QUERY_SERVICE_CONFIGA *config = (QUERY_SERVICE_CONFIGA *)buffer.data();
        if (QueryServiceConfigA(service, config, needed, &needed) && config->lpDisplayName != NULL)
            display = config->lpDisplayName;
    }
    CloseNamedService(service, manager);
    return display;
}

DWORD ServiceProcessId(const std::string &name)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    SC_HANDLE manager = NULL;
    SC_HANDLE service = OpenNamedService(name, SERVICE_QUERY_STATUS, &manager);
    if (service != NULL)
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)&status, sizeof(status), &needed);
    CloseNamedService(service, manager);
    return status.dwCurrentState == SERVICE_STOPPED ? 0 : status.dwProcessId;
}

std::string InstallPelorinCopy(const std::string &folder, const std::string &base, const std::string &ini)
{
    std::string name = base;
    for (char &c : name) {
        if (c == ' ')
            c = '_';
    }
    // One left by an interrupted run goes first, for good.
    RemoveServiceIfPresent(name);
    std::string exe = CopyBuiltProgram("pelorin.exe", folder, base + ".exe");
    WriteTextFile(folder + base + ".ini", ini);
    return RunProgram(Quote(exe) + " -i", NULL) == 0 ? name : "";
}

void RemovePelorinCopy(const std::string &name)
{
    if (!ServiceExists(name))
        return;
    StopServiceByName(name);
    WaitForServiceState(name, SERVICE_STOPPED, 30000);
    SC_HANDLE manager = NULL;
    SC_HANDLE service = OpenNamedService(name, DELETE, &manager);
    if (service != NULL)
        DeleteService(service);
    CloseNamedService(service, manager);
}
