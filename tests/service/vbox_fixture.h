#ifndef PELORIN_VBOX_FIXTURE_H
#define PELORIN_VBOX_FIXTURE_H

// Drives the service's VirtualBox layer through real COM against the stand-in,
// on a thread of its own as the supervisor will.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "standin_client.h"
#include "vbox40_declarations.h"

extern const char TestVmName[];
extern const char TestVmUuid[];

class VboxTest : public ::testing::Test {
protected:
    std::string folder;
    std::string installPath;

    void SetUp() override;
    void TearDown() override;

    // A folder for VboxInstallPath holding the VBoxHeadless stand-in.
    std::string MakeInstallFolder(const std::string &path);
    void UseInstallFolder(const std::string &path);
    void PutMachine(long state, unsigned long sessionPid = 0);

    std::string Log();
    // Log lines without their time stamps, in order.
    std::vector<std::string> LogMessages();
    bool Logged(const std::string &message);
    std::vector<std::string> Journal();
    // Journal entries that begin with the given text.
    std::vector<std::string> JournalOf(const std::string &prefix);

    long MachineState();
    // Waits until the stand-in shows the machine in the state; returns the last state seen.
    long WaitForMachineState(long state, DWORD timeoutMs = 10000);
    // Ends VBoxHeadless and its wait, whatever StartVm left behind.
    void EndHeadless();
};

// Runs the steps on a new thread, as the supervisor will, and waits for them.
void RunOnSupervisorThread(const std::function<void()> &steps);
// Opens the connection, starts the machine and closes again, as the supervisor does.
int StartOnSupervisorThread();

// A process that holds a running machine's session, as VBoxHeadless started
// by VirtualBox itself would; EndSessionHolder ends it and waits.
PROCESS_INFORMATION StartSessionHolder();
void EndSessionHolder(PROCESS_INFORMATION *holder);

#endif
