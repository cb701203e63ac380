#include "vbox_fixture.h"

#include <process.h>

#include "command_line.h"
#include "log.h"
#include "settings.h"
#include "supervisor.h"
#include "test_support.h"
#include "vbox_session.h"
#include "vm_start.h"
#include "vm_stop.h"

const char TestVmName[] = "Web Server";
const char TestVmUuid[] = "8c0bb7ae-52b1-4b5c-9b27-0a8c5e3b2f11";

static unsigned __stdcall RunSteps(void *argument)
{
    (*(const std::function<void()> *)argument)();
    return 0;
}

void RunOnSupervisorThread(const std::function<void()> &steps)
{
    HANDLE thread = (HANDLE)_beginthreadex(NULL, 0, RunSteps, (void *)&steps, 0, NULL);
    ASSERT_NE((HANDLE)NULL, thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

int StartOnSupervisorThread()
{
    int started = -1;
    RunOnSupervisorThread([&] {
        OpenVirtualBox();
        started = StartVm(TestVmName);
        CloseVirtualBox();
    });
    return started;
}

PROCESS_INFORMATION StartSessionHolder()
{
    PROCESS_INFORMATION holder = {};
    EXPECT_TRUE(StartProgram(Quote(BuiltProgramPath("keepalive.exe")), &holder));
    return holder;
}

void EndSessionHolder(PROCESS_INFORMATION *holder)
{
    TerminateProcess(holder->hProcess, 0);
    WaitForSingleObject(holder->hProcess, 10000);
    CloseHandle(holder->hThread);
    CloseHandle(holder->hProcess);
}

void VboxTest::SetUp()
{
    ASSERT_EQ(1, StandinReset());
    folder = MakeTestFolder(std::string("vbox ") + ::testing::UnitTest::GetInstance()->current_test_info()->name());

    ServiceSettingsRecord settings = {};
    settings.Loglevel = 3;
    strcpy(settings.ExePath, (folder + "pelorin.exe").c_str());
    strcpy(settings.IniPath, (folder + "pelorin.ini").c_str());
    strcpy(settings.LogPath, (folder + "pelorin.log").c_str());
    strcpy(settings.VmName, TestVmName);
    strcpy(settings.VboxUserHome, "C:\\Users\\vbox\\.VirtualBox");
    settings.PriorityClass = NORMAL_PRIORITY_CLASS;
    strcpy(settings.ShutdownCommand, "poweroff");
    settings.StopMethod = StopMethodPowerOff;
    settings.MaxWaitTimeout = 300000;
    ServiceSettings = settings;
    UseInstallFolder(MakeInstallFolder(folder + "VirtualBox"));

    PutMachine(MachineStatePoweredOff);
    ServiceVirtualBox = NULL;
    ServiceSession = NULL;
    ZeroMemory(&VmProcess, sizeof(VmProcess));
    VmExitWait = NULL;
    AdoptedVmProcess = NULL;
    VmExitedEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
}

void VboxTest::TearDown()
{
    EndHeadless();
    // The catalogue outlives the test: the next one finds the stand-in's defaults.
    EXPECT_EQ(1, StandinReset());
    CloseHandle(VmExitedEvent);
    VmExitedEvent = NULL;
}

std::string VboxTest::MakeInstallFolder(const std::string &path)
{
    CreateDirectoryA(path.c_str(), NULL);
    CopyFileA(StandinHeadlessPath().c_str(), (path + "\\VBoxHeadless.exe").c_str(), FALSE);
    return path;
}

void VboxTest::UseInstallFolder(const std::string &path)
{
    installPath = path;
    strcpy(ServiceSettings.VboxInstallPath, path.c_str());
    SetVirtualBoxEnvironment();
}

void VboxTest::PutMachine(long state, unsigned long sessionPid)
{
    StandinMachine machine = {};
    strcpy(machine.name, TestVmName);
    strcpy(machine.uuid, TestVmUuid);
    machine.state = state;
    machine.sessionPid = sessionPid;
    machine.vrdeEnabled = 1;
    machine.vrdePort = 3389;
    machine.width = 1024;
    machine.height = 768;
    machine.bitsPerPixel = 32;
    ASSERT_EQ(1, StandinPutMachine(&machine));
}

std::string VboxTest::Log()
{
    return ReadTextFile(ServiceSettings.LogPath);
}

std::vector<std::string> VboxTest::LogMessages()
{
    std::vector<std::string> messages;
    std::string text = Log();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        size_t stampEnd = line.find("] ");
        messages.push_back(stampEnd == std::string::npos ? line : line.substr(stampEnd + 2));
        start = end + 2;
    }
    return messages;
}

bool VboxTest::Logged(const std::string &message)
{
    for (const std::string &line : LogMessages()) {
        if (line == message)
            return true;
    }
    return false;
}

std::vector<std::string> VboxTest::Journal()
{
    std::vector<std::string> entries;
    EXPECT_EQ(1, StandinReadJournal(&entries));
    return entries;
}

std::vector<std::string> VboxTest::JournalOf(const std::string &prefix)
{
    std::vector<std::string> found;
    for (const std::string &entry : Journal()) {
        if (entry.compare(0, prefix.size(), prefix) == 0)
            found.push_back(entry);
    }
    return found;
}

long VboxTest::MachineState()
{
    StandinMachine machine = {};
    EXPECT_EQ(1, StandinGetMachine(TestVmName, &machine));
    return machine.state;
}

long VboxTest::WaitForMachineState(long state, DWORD timeoutMs)
{
    long seen = -1;
    for (DWORD waited = 0; waited <= timeoutMs; waited += 50) {
        seen = MachineState();
        if (seen == state)
            break;
        Sleep(50);
    }
    return seen;
}

void VboxTest::EndHeadless()
{
    if (VmExitWait != NULL) {
        UnregisterWaitEx(VmExitWait, INVALID_HANDLE_VALUE);
        VmExitWait = NULL;
    }
    if (VmProcess.hProcess != NULL) {
        if (WaitForSingleObject(VmProcess.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(VmProcess.hProcess, 1);
            WaitForSingleObject(VmProcess.hProcess, 10000);
        }
        CloseHandle(VmProcess.hProcess);
        CloseHandle(VmProcess.hThread);
        ZeroMemory(&VmProcess, sizeof(VmProcess));
    }
    if (AdoptedVmProcess != NULL) {
        CloseHandle(AdoptedVmProcess);
        AdoptedVmProcess = NULL;
    }
}
