// StartVm and StopVmWith against small in-process fakes: paths that real COM
// cannot produce (a failed call that still hands back a progress object) and
// the reference counts of every path.
#include <gtest/gtest.h>

#include "settings.h"
#include "vbox40_declarations.h"
#include "supervisor.h"
#include "test_support.h"
#include "vbox_session.h"
#include "vm_start.h"
#include "vm_stop.h"

namespace {

// A fake answers its generation's identifier, as VirtualBox's objects do,
// unless it plays a later release's (answers false).
template <class Interface, VboxInterface Kind>
struct Fake : public Interface {
    LONG references = 1;
    bool answers = true;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        *object = NULL;
        if (!IsEqualIID(iid, IID_IUnknown) && !(answers && IsEqualIID(iid, VboxApi->iids[Kind])))
            return E_NOINTERFACE;
        AddRef();
        *object = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return (ULONG)++references; }
    ULONG STDMETHODCALLTYPE Release() override { return (ULONG)--references; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *) override
    {
        return E_NOTIMPL;
    }
};

template <class Interface, VboxInterface Kind>
HRESULT HandOut(Fake<Interface, Kind> *object, Interface **out)
{
    object->AddRef();
    *out = object;
    return S_OK;
}

struct FakeProgress : Fake<Vbox40Progress, VboxIProgress> {
    HRESULT waitResult = S_OK;
    int waits = 0;
    LONG timeout = 0;

    HRESULT STDMETHODCALLTYPE get_Completed(BOOL *out) override { *out = TRUE; return S_OK; }
    HRESULT STDMETHODCALLTYPE get_ResultCode(LONG *out) override { *out = S_OK; return S_OK; }
    HRESULT STDMETHODCALLTYPE WaitForCompletion(LONG t) override
    {
        waits++;
        timeout = t;
        return waitResult;
    }
};

struct FakeConsole : Fake<Vbox40Console, VboxIConsole> {
    FakeProgress progress;
    HRESULT methodResult = S_OK;
    bool handOutProgress = true;
    std::string called;

    HRESULT Progressing(const char *name, Vbox40Progress **out)
    {
        called = name;
        if (handOutProgress)
            HandOut(&progress, out);
        return methodResult;
    }
    HRESULT STDMETHODCALLTYPE get_Display(Vbox40Display **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_VRDEServerInfo(Vbox40VrdeServerInfo **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PowerDown(Vbox40Progress **out) override { return Progressing("PowerDown", out); }
    HRESULT STDMETHODCALLTYPE SaveState(Vbox40Progress **out) override { return Progressing("SaveState", out); }
    HRESULT STDMETHODCALLTYPE PowerButton() override { called = "PowerButton"; return methodResult; }
    HRESULT STDMETHODCALLTYPE SleepButton() override { called = "SleepButton"; return methodResult; }
    HRESULT STDMETHODCALLTYPE GetGuestEnteredACPIMode(BOOL *entered) override { *entered = TRUE; return S_OK; }
};

struct FakeSession : Fake<Vbox40Session, VboxISession> {
    FakeConsole console;
    HRESULT consoleResult = S_OK;
    int unlocks = 0;

    HRESULT STDMETHODCALLTYPE get_Console(Vbox40Console **out) override
    {
        if (FAILED(consoleResult))
            return consoleResult;
        return HandOut(&console, out);
    }
    HRESULT STDMETHODCALLTYPE UnlockMachine() override
    {
        unlocks++;
        return S_OK;
    }
};

struct FakeMachine : Fake<Vbox40Machine, VboxIMachine> {
    HRESULT idResult = S_OK;
    HRESULT stateResult = S_OK;
    HRESULT lockResult = S_OK;
    ULONG state = MachineStateRunning;
    int locks = 0;

    HRESULT STDMETHODCALLTYPE get_Id(BSTR *id) override
    {
        if (FAILED(idResult))
            return idResult;
        *id = SysAllocString(L"8c0bb7ae-52b1-4b5c-9b27-0a8c5e3b2f11");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_VRDEServer(Vbox40VrdeServer **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_SessionPid(ULONG *pid) override
    {
        *pid = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_State(ULONG *out) override
    {
        *out = state;
        return stateResult;
    }
    HRESULT STDMETHODCALLTYPE LockMachine(Vbox40Session *, LONG) override
    {
        if (SUCCEEDED(lockResult))
            locks++;
        return lockResult;
    }
};

struct FakeVirtualBox : Fake<Vbox40VirtualBox, VboxIVirtualBox> {
    FakeMachine machine;
    HRESULT findResult = S_OK;

    HRESULT STDMETHODCALLTYPE get_Version(BSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_HomeFolder(BSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindMachine(BSTR, Vbox40Machine **out) override
    {
        if (FAILED(findResult))
            return findResult;
        return HandOut(&machine, out);
    }
};

class FakeVboxTest : public ::testing::Test {
protected:
    FakeVirtualBox virtualBox;
    FakeSession session;
    std::string folder;

    void SetUp() override
    {
        folder = MakeTestFolder(std::string("fakes ") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        ServiceSettingsRecord settings = {};
        settings.Loglevel = 3;
        strcpy(settings.IniPath, (folder + "pelorin.ini").c_str());
        strcpy(settings.LogPath, (folder + "pelorin.log").c_str());
        strcpy(settings.VboxInstallPath, folder.substr(0, folder.size() - 1).c_str());
        strcpy(settings.ShutdownCommand, "poweroff");
        settings.StopMethod = StopMethodPowerOff;
        ServiceSettings = settings;
        WriteTextFile(folder + "VBoxHeadless.exe", "present");
        ServiceVirtualBox = &virtualBox;
        ServiceSession = &session;
        // The fakes are laid out as the 4.0 generation.
        for (int i = 0; i < VboxGenerationCount; i++) {
            if (strcmp(VboxGenerations[i].name, "4.0") == 0)
                VboxApi = &VboxGenerations[i];
        }
    }

    void TearDown() override
    {
        ServiceVirtualBox = NULL;
        ServiceSession = NULL;
    }

    void ExpectEverythingReleased(const char *path)
    {
        EXPECT_EQ(1, virtualBox.machine.references) << path;
        EXPECT_EQ(1, session.console.references) << path;
        EXPECT_EQ(1, session.console.progress.references) << path;
        EXPECT_EQ(session.unlocks, virtualBox.machine.locks) << path;
    }

    bool Logged(const std::string &message)
    {
        return ReadTextFile(ServiceSettings.LogPath).find("] " + message + "\r\n") != std::string::npos;
    }
};

TEST_F(FakeVboxTest, AFailedConsoleCallThatHandsBackProgressIsStillAwaited)
{
    session.console.methodResult = (HRESULT)0x80BB0003;
    StepResult step;
    // VirtualBoxTimeout 0: no limit, as VirtualBox spells it.
    StopVmWith("Web Server", "poweroff", StopMethodPowerOff, INFINITE, &step);
    EXPECT_EQ(1, session.console.progress.waits);
    EXPECT_EQ(-1, session.console.progress.timeout);
    // The progress's success does not undo the call's failure.
    EXPECT_EQ(StepRefused, step.outcome);
    EXPECT_EQ((HRESULT)0x80BB0003, step.error);
    EXPECT_TRUE(Logged("ERROR stopping VM 'Web Server' (0x80bb0003)"));
    ExpectEverythingReleased("failed console call");
}

TEST_F(FakeVboxTest, AFailedAcpiCallSendsNoSignal)
{
    session.console.methodResult = E_ACCESSDENIED;
    StepResult step;
    StopVmWith("Web Server", "acpisleepbutton", StopMethodAcpiSleepButton, 4000, &step);
    EXPECT_EQ("SleepButton", session.console.called);
    EXPECT_EQ(StepRefused, step.outcome);
    EXPECT_TRUE(Logged("ERROR stopping VM 'Web Server' (0x80070005)"));
    EXPECT_FALSE(Logged("VM 'Web Server' was sent a stop signal (acpisleepbutton)"));
}

TEST_F(FakeVboxTest, AStepReleasesWhatItObtainedOnEveryPath)
{
    struct Path {
        const char *name;
        HRESULT FakeMachine::*machineField;
        HRESULT FakeSession::*sessionField;
    } paths[] = {
        { "lock refused", &FakeMachine::lockResult, NULL },
        { "id unreadable", &FakeMachine::idResult, NULL },
        { "console unavailable", NULL, &FakeSession::consoleResult },
        { "all well", NULL, NULL },
    };
    StepResult step;
    for (const Path &path : paths) {
        virtualBox.machine.lockResult = virtualBox.machine.idResult = session.consoleResult = S_OK;
        if (path.machineField)
            virtualBox.machine.*path.machineField = E_FAIL;
        if (path.sessionField)
            session.*path.sessionField = E_FAIL;
        StopVmWith("Web Server", "poweroff", StopMethodPowerOff, 4000, &step);
        ExpectEverythingReleased(path.name);
    }
    // The session is the service's own; a step never releases it.
    EXPECT_EQ(1, session.references);
    // A failed get_Console still unlocks: two locks taken, two released.
    EXPECT_EQ(2, session.unlocks);

    virtualBox.findResult = VBOX_E_OBJECT_NOT_FOUND;
    StopVmWith("Web Server", "poweroff", StopMethodPowerOff, 4000, &step);
    ExpectEverythingReleased("not found");
}

TEST_F(FakeVboxTest, AStepWithoutASessionTakesNoLock)
{
    ServiceSession = NULL;
    StepResult step;
    StopVmWith("Web Server", "poweroff", StopMethodPowerOff, 4000, &step);
    EXPECT_EQ(0, virtualBox.machine.locks);
    EXPECT_EQ(StepUnreachable, step.outcome);
    EXPECT_TRUE(Logged("ERROR opening session (0x80004003)"));
    ExpectEverythingReleased("no session");
}

// A machine that cannot take a method is left alone: nothing is locked, and
// the step says what it found.
TEST_F(FakeVboxTest, AMachineInAStateThatRefusesTheMethodIsNotTouched)
{
    const struct {
        ULONG state;
        StopMethod method;
        MachineCondition found;
    } rows[] = {
        { MachineStatePaused, StopMethodAcpiPowerButton, MachinePaused },
        { MachineStateStuck, StopMethodSaveState, MachineStuck },
        { MachineStateSaving, StopMethodPowerOff, MachineSaving },
        { MachineStateStarting, StopMethodAcpiSleepButton, MachineComingUp },
        { MachineStatePoweredOff, StopMethodPowerOff, MachinePoweredOff },
    };
    for (const auto &row : rows) {
        virtualBox.machine.state = row.state;
        StepResult step;
        StopVmWith("Web Server", "x", row.method, 4000, &step);
        EXPECT_EQ(StepWrongState, step.outcome) << row.state;
        EXPECT_EQ(row.found, step.condition) << row.state;
        ExpectEverythingReleased("wrong state");
    }
    EXPECT_EQ(0, virtualBox.machine.locks);
}

TEST_F(FakeVboxTest, StartVmReleasesTheMachineOnEveryPath)
{
    virtualBox.machine.state = MachineStateSaving;
    EXPECT_EQ(0, StartVm("Web Server"));
    EXPECT_EQ(1, virtualBox.machine.references);

    virtualBox.machine.stateResult = E_FAIL;
    EXPECT_EQ(0, StartVm("Web Server"));
    EXPECT_EQ(1, virtualBox.machine.references);

    virtualBox.machine.stateResult = S_OK;
    virtualBox.machine.state = MachineStatePoweredOff;
    virtualBox.machine.idResult = E_FAIL;
    EXPECT_EQ(0, StartVm("Web Server"));
    EXPECT_EQ(1, virtualBox.machine.references);

    virtualBox.machine.state = MachineStateRunning;
    EXPECT_EQ(0, StartVm("Web Server"));
    EXPECT_EQ(1, virtualBox.machine.references);
}

} // namespace
