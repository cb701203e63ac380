#ifndef PELORIN_SERVICE_FIXTURE_H
#define PELORIN_SERVICE_FIXTURE_H

// A copy of pelorin.exe installed as a service of its own name for each test,
// serving the stand-in's machine "Web Server", for tests that drive the real
// service under Wine's Service Control Manager. When a test ends, its service
// is stopped and removed, no VBoxHeadless may be left running, and its log
// must hold only whole lines.
#include "vbox_fixture.h"

#include "service_harness.h"

class ServiceFixture : public VboxTest {
protected:
    std::string base;     // the copy's file name without ".exe"
    std::string service;  // its service name
    std::string ini;      // its INI file

    void SetUp() override;
    void TearDown() override;

    // The INI file's text: the required keys, Loglevel 2, then the extra lines.
    std::string Ini(const std::string &extra = "");
    // A row of a table starts afresh: this INI file, no log, the stand-in
    // reset with the machine in this state.
    void BeginRow(const std::string &iniText, long machineState);
    // Starts the service and waits until it and its machine run (Running is 6 from 7.0 on).
    bool StartRunning(long runningState = MachineStateRunning);
    // After a start that failed: true when Wine lost the service's process or
    // its VBoxHeadless as it started, once the service has stopped and its log
    // is as it was before; the caller then starts again.
    bool WineLostAProcess(DWORD startAnswer, const std::string &logBefore);
    // Fails the test with what a start that failed left to see: the service's
    // state and exit codes, the machine's state, the log, VBoxHeadless's journal.
    void FailStart(DWORD startAnswer, long machine);
    DWORD ServiceState();
    // Waits until the service has stopped and its process has ended; its final status.
    SERVICE_STATUS WaitStopped(DWORD timeoutMs = 30000);
    SERVICE_STATUS StopAndWait(DWORD timeoutMs = 30000);
    // The VBoxHeadless processes running now, and how many of them the running
    // service started itself (and so watches).
    size_t HeadlessRunning();
    size_t HeadlessOfTheService();
};

#endif
