#ifndef PELORIN_SERVICE_HARNESS_H
#define PELORIN_SERVICE_HARNESS_H

// Watching and driving services: the status reports of the service code run
// in-process (SetServiceStatus recorded), and a real service's status as the
// Service Control Manager shows it.
#include <windows.h>

#include <string>
#include <vector>

struct StatusReport {
    DWORD state;
    DWORD checkPoint;
    DWORD waitHint;
    DWORD win32ExitCode;
    DWORD specificExitCode;
    DWORD controlsAccepted;
};

// In-process: from now on every SetServiceStatus of this program is recorded
// (and succeeds) instead of going to the Service Control Manager.
void StartRecordingStatus(void);
void StopRecordingStatus(void);
std::vector<StatusReport> RecordedStatus(void);
// Waits until a report with this state has been recorded; false on time-out.
bool WaitForRecordedState(DWORD state, DWORD timeoutMs);

// A real service: samples its status every few milliseconds on a thread of
// its own and keeps every change, until StopSamplingStatus, which also waits
// until the service's process has ended.
void StartSamplingStatus(const std::string &name);
std::vector<StatusReport> StopSamplingStatus(void);
// Waits until the sampler has seen the state; false on time-out, or at once
// when the service has stopped after its start without it.
bool WaitForSampledState(DWORD state, DWORD timeoutMs);

// The states in order, each once per run of equal states.
std::vector<DWORD> StatesOf(const std::vector<StatusReport> &reports);

SERVICE_STATUS QueryServiceStatusOf(const std::string &name);
// Polls until the service is in the state; returns the last state seen (0: not found).
DWORD WaitForServiceState(const std::string &name, DWORD wanted, DWORD timeoutMs = 10000);
// StartServiceA / ControlService(STOP); the Windows error, or 0.
DWORD StartServiceByName(const std::string &name);
DWORD StopServiceByName(const std::string &name);
// The display name the service is registered with, "" when it cannot be read.
std::string ServiceDisplayName(const std::string &name);
// The process id of the running service, 0 when none.
DWORD ServiceProcessId(const std::string &name);

// Copies pelorin.exe into the folder as <base>.exe, writes <base>.ini and runs
// "-i". Returns the service's key name (blanks become underscores), or "" when
// the installation failed. A service of that name left by an earlier run goes first.
std::string InstallPelorinCopy(const std::string &folder, const std::string &base, const std::string &ini);
// Stops the service if it runs, waits for it, and deletes it (Wine may take
// a few seconds more to forget it).
void RemovePelorinCopy(const std::string &name);

#endif
