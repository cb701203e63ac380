// The VirtualBox stand-in itself, driven through real COM from a
// single-threaded apartment as pelorin drives it, with VBoxHeadless stand-ins
// started the way the service starts them.
#include "standin_test_fixture.h"

#include "standin_journal.h"

namespace {

DWORD WINAPI ResetSoon(void *)
{
    Sleep(300);
    return (DWORD)StandinReset();
}

TEST_F(StandinTest, FindMachineFindsExactNamesOnly)
{
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    IMachine *machine = Find(virtualBox, L"Web Server");
    ASSERT_NE(nullptr, machine);
    Bstr id;
    EXPECT_EQ(S_OK, machine->get_Id(id.Out()));
    EXPECT_EQ(WebUuid, Narrow(id.value));
    long state = -1;
    EXPECT_EQ(S_OK, machine->get_State(&state));
    EXPECT_EQ(1, state);

    const wchar_t *missing[] = { L"web server", L"Mail Server", L"" };
    for (const wchar_t *name : missing) {
        Bstr wanted(name);
        IUnknown *notFound = (IUnknown *)1;
        EXPECT_EQ(ObjectNotFound, virtualBox->FindMachine(wanted.value, &notFound));
        EXPECT_EQ(nullptr, notFound);
    }
    std::vector<std::string> expected = {
        "VirtualBox::CreateInstance",
        "IVirtualBox::FindMachine name=\"Web Server\"",
        "IMachine::get_Id machine=\"Web Server\"",
        "IMachine::get_State machine=\"Web Server\"",
        "IVirtualBox::FindMachine name=\"web server\" result=0x80bb0001",
        "IVirtualBox::FindMachine name=\"Mail Server\" result=0x80bb0001",
        "IVirtualBox::FindMachine name=\"\" result=0x80bb0001",
    };
    EXPECT_EQ(expected, Journal());
}

TEST_F(StandinTest, ServerInformationAndMachineSettingsComeFromTheCatalogue)
{
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    Bstr version;
    Bstr home;
    EXPECT_EQ(S_OK, virtualBox->get_Version(version.Out()));
    EXPECT_EQ(S_OK, virtualBox->get_HomeFolder(home.Out()));
    EXPECT_EQ("7.0.0", Narrow(version.value));
    EXPECT_EQ("C:\\Users\\vbox\\.VirtualBox", Narrow(home.value));

    ASSERT_EQ(1, StandinSetServerInfo("6.1.50r161033", "D:\\VirtualBox Home"));
    StandinMachine mail = MakeMachine("Mail Server", MailUuid, 5);
    mail.sessionPid = 4242;
    mail.vrdeEnabled = 0;
    mail.vrdePort = 5000;
    mail.width = 800;
    mail.height = 600;
    mail.bitsPerPixel = 16;
    ASSERT_EQ(1, StandinPutMachine(&mail));
    Bstr version2;
    Bstr home2;
    EXPECT_EQ(S_OK, virtualBox->get_Version(version2.Out()));
    EXPECT_EQ(S_OK, virtualBox->get_HomeFolder(home2.Out()));
    EXPECT_EQ("6.1.50r161033", Narrow(version2.value));
    EXPECT_EQ("D:\\VirtualBox Home", Narrow(home2.value));

    IMachine *machine = Find(virtualBox, L"Mail Server");
    ASSERT_NE(nullptr, machine);
    ULONG pid = 0;
    EXPECT_EQ(S_OK, machine->get_SessionPid(&pid));
    EXPECT_EQ(4242u, pid);
    IVRDEServer *vrde = NULL;
    ASSERT_EQ(S_OK, machine->get_VRDEServer(As(&vrde)));
    Hold(vrde);
    long enabled = -1;
    EXPECT_EQ(S_OK, vrde->get_Enabled(&enabled));
    EXPECT_EQ(0, enabled);

    // A machine that runs without a VBoxHeadless of ours still has a console.
    IConsole *console = LockConsole(machine, NewSession());
    ASSERT_NE(nullptr, console);
    IVRDEServerInfo *info = NULL;
    ASSERT_EQ(S_OK, console->get_VRDEServerInfo(As(&info)));
    Hold(info);
    long port = 0;
    EXPECT_EQ(S_OK, info->get_Port(&port));
    EXPECT_EQ(-1, port);  // remote display disabled: no server, no port
    IDisplay *display = NULL;
    ASSERT_EQ(S_OK, console->get_Display(As(&display)));
    Hold(display);
    ULONG width = 0;
    ULONG height = 0;
    ULONG bits = 0;
    EXPECT_EQ(S_OK, display->GetScreenResolution(0, &width, &height, &bits));
    EXPECT_EQ(800u, width);
    EXPECT_EQ(600u, height);
    EXPECT_EQ(16u, bits);
    EXPECT_EQ(E_INVALIDARG, display->GetScreenResolution(1, &width, &height, &bits));
    // A call to a position that pelorin never calls shows in the journal.
    EXPECT_EQ(E_NOTIMPL, machine->Unused30());

    std::vector<std::string> journal = Journal();
    EXPECT_LE(0, IndexOf(journal, "IVRDEServer::get_Enabled machine=\"Mail Server\""));
    EXPECT_LE(0, IndexOf(journal, "IVRDEServerInfo::get_Port machine=\"Mail Server\""));
    EXPECT_LE(0, IndexOf(journal, "IDisplay::GetScreenResolution machine=\"Mail Server\" screenId=0"));
    EXPECT_LE(0, IndexOf(journal, "IDisplay::GetScreenResolution machine=\"Mail Server\" screenId=1 result=0x80070057"));
    EXPECT_EQ("IMachine::Unused30 machine=\"Mail Server\" result=0x80004001", journal.back());
}

// A progress tells its outcome in ResultCode, not in WaitForCompletion, which
// only waits: a power-off that fails leaves the machine running; one that
// succeeds completes once the machine is off, and its process ends after that, with 0.
TEST_F(StandinTest, APowerDownsProgressTellsItsOutcomeOnceTheMachineIsOff)
{
    PROCESS_INFORMATION process = StartMachine("Web Server", WebUuid);
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    IMachine *machine = Find(virtualBox, L"Web Server");
    ASSERT_NE(nullptr, machine);
    long state = 0;
    ULONG pid = 0;
    EXPECT_EQ(S_OK, machine->get_State(&state));
    EXPECT_EQ(S_OK, machine->get_SessionPid(&pid));
    EXPECT_EQ(5, state);
    EXPECT_EQ(process.dwProcessId, pid);

    ISession *session = NewSession();
    IConsole *console = LockConsole(machine, session);
    ASSERT_NE(nullptr, console);
    const HRESULT outcomes[] = { (HRESULT)0x80BB0005L, S_OK };
    for (HRESULT outcome : outcomes) {
        ASSERT_EQ(1, StandinSetOutcome("IConsole::PowerDown", outcome));
        IProgress *progress = NULL;
        long completed = 0, code = 0;
        IUnknown *errorInfo = (IUnknown *)1;
        ASSERT_EQ(S_OK, console->PowerDown(As(&progress)));
        EXPECT_EQ(S_OK, Hold(progress)->WaitForCompletion(-1));
        EXPECT_EQ(S_OK, progress->get_Completed(&completed));
        EXPECT_EQ(S_OK, progress->get_ResultCode(&code));
        // The stand-in hands out no error object.
        EXPECT_EQ(S_OK, progress->get_ErrorInfo(&errorInfo));
        EXPECT_EQ(1, completed);
        EXPECT_EQ(outcome, code);
        EXPECT_EQ(nullptr, errorInfo);
        EXPECT_EQ(FAILED(outcome) ? 5 : 1, StateOf("Web Server"));
    }
    EXPECT_EQ(0u, ExitCodeOf(process));
    StandinMachine after = AfterItsProcess("Web Server");
    EXPECT_EQ(1, after.state);
    EXPECT_EQ(0u, after.sessionPid);
    EXPECT_EQ(S_OK, session->UnlockMachine());
    EXPECT_EQ(0, StandinSetOutcome("IConsole::PowerButton", E_FAIL));

    std::vector<std::string> journal = Journal();
    std::vector<std::string> order = {
        "IMachine::LockMachine machine=\"Web Server\" lockType=1",
        "ISession::get_Console",
        "IConsole::PowerDown machine=\"Web Server\"",
        "IProgress::WaitForCompletion machine=\"Web Server\" timeout=-1",
        "VBoxHeadless::Exit machine=\"Web Server\" exitCode=0",
        "ISession::UnlockMachine",
    };
    int previous = -1;
    for (const std::string &entry : order) {
        int index = IndexOf(journal, entry);
        EXPECT_LT(previous, index) << entry << "\n" << Joined(journal);
        previous = index;
    }
}

TEST_F(StandinTest, SaveStateLeavesTheMachineSaved)
{
    PROCESS_INFORMATION process = StartMachine("Web Server", WebUuid);
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    IMachine *machine = Find(virtualBox, L"Web Server");
    ASSERT_NE(nullptr, machine);
    ISession *session = NewSession();
    IConsole *console = LockConsole(machine, session);
    ASSERT_NE(nullptr, console);
    IProgress *progress = NULL;
    ASSERT_EQ(S_OK, console->SaveState(As(&progress)));
    Hold(progress);
    EXPECT_EQ(S_OK, progress->WaitForCompletion(-1));
    EXPECT_EQ(0u, ExitCodeOf(process));
    StandinMachine after = AfterItsProcess("Web Server");
    EXPECT_EQ(2, after.state);
    EXPECT_EQ(0u, after.sessionPid);
    // Nothing runs any more: a second stop is refused.
    IProgress *again = NULL;
    EXPECT_EQ(InvalidVmState, console->PowerDown(As(&again)));
    EXPECT_EQ(nullptr, again);
    EXPECT_EQ(S_OK, session->UnlockMachine());
}

TEST_F(StandinTest, AcpiButtonsPowerOffAfterTheirDelayOrNever)
{
    ASSERT_EQ(1, StandinSetDelay("PowerButton", 2000));
    ASSERT_EQ(1, StandinSetDelay("SleepButton", -1));
    PROCESS_INFORMATION process = StartMachine("Web Server", WebUuid);
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    IMachine *machine = Find(virtualBox, L"Web Server");
    ASSERT_NE(nullptr, machine);
    ISession *session = NewSession();
    IConsole *console = LockConsole(machine, session);
    ASSERT_NE(nullptr, console);

    // The guest ignores the sleep button for ever.
    EXPECT_EQ(S_OK, console->SleepButton());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process.hProcess, 300));
    EXPECT_EQ(5, StateOf("Web Server"));

    // The power button returns at once; the guest goes down after the delay
    // (a busy machine can only lengthen it).
    DWORD pressed = GetTickCount();
    EXPECT_EQ(S_OK, console->PowerButton());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process.hProcess, 0));
    EXPECT_EQ(0u, ExitCodeOf(process));
    EXPECT_LE(1950u, GetTickCount() - pressed);
    EXPECT_EQ(S_OK, session->UnlockMachine());
    EXPECT_EQ(1, AfterItsProcess("Web Server").state);
    std::vector<std::string> journal = Journal();
    int press = IndexOf(journal, "IConsole::PowerButton machine=\"Web Server\"");
    EXPECT_LE(0, press);
    EXPECT_LT(press, IndexOf(journal, "VBoxHeadless::Exit machine=\"Web Server\" exitCode=0")) << Joined(journal);
}

TEST_F(StandinTest, SessionNeedsALockAndItsConsoleDiesWithTheLock)
{
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    IMachine *machine = Find(virtualBox, L"Web Server");
    ASSERT_NE(nullptr, machine);
    ISession *session = NewSession();
    IConsole *console = (IConsole *)1;
    EXPECT_EQ(InvalidObjectState, session->get_Console(As(&console)));
    EXPECT_EQ(nullptr, console);
    EXPECT_EQ(InvalidObjectState, session->UnlockMachine());
    EXPECT_EQ(E_INVALIDARG, machine->LockMachine(NULL, 1));

    PROCESS_INFORMATION process = StartMachine("Web Server", WebUuid);
    ASSERT_EQ(5, StateOf("Web Server"));
    EXPECT_EQ(E_INVALIDARG, machine->LockMachine(session, 2));
    IConsole *locked = LockConsole(machine, session);
    ASSERT_NE(nullptr, locked);
    EXPECT_EQ(InvalidObjectState, machine->LockMachine(session, 1));
    EXPECT_EQ(S_OK, session->UnlockMachine());
    // A console kept past the unlock is no longer usable.
    IProgress *progress = NULL;
    EXPECT_EQ(InvalidObjectState, locked->PowerDown(As(&progress)));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process.hProcess, 0));

    std::vector<std::string> expected = {
        "ISession::get_Console result=0x80bb0007",
        "ISession::UnlockMachine result=0x80bb0007",
        "IMachine::LockMachine machine=\"Web Server\" lockType=1 result=0x80070057",
    };
    std::vector<std::string> journal = Journal();
    ASSERT_LE(expected.size() + 3, journal.size());
    EXPECT_EQ(expected, std::vector<std::string>(journal.begin() + 3, journal.begin() + 3 + expected.size()));
    EXPECT_LE(0, IndexOf(journal, "IConsole::PowerDown machine=\"Web Server\" result=0x80bb0007")) << Joined(journal);
}

// How a machine ends as VirtualBox's do: a failed power-up (VBoxHeadless exits
// 0, the machine as before), VBoxHeadless's crash (its code, Aborted), the
// guest's at the start or later (Stuck, the process alive), the buttons (latched
// for a guest that answers by its behaviour), VBoxHeadless's own save or power-off.
TEST_F(StandinTest, HeadlessAndGuestEndTheMachineAsVirtualBoxsDo)
{
    const DWORD Alive = STILL_ACTIVE;
    struct Row {
        const char *headless, *guest;
        long before, sleepStates;
        const char *press;  // a button, the guest's crash, or VBoxHeadless's own end
        long saveDelay, acpiEntered, after;
        DWORD exitCode;
    } rows[] = {
        { "fail", "normal", 2, 0, NULL, 0, 0, 2, 0 },
        { "crash", "normal", 1, 0, NULL, 0, 0, 4, 3 },
        { "normal", "crashes", 1, 0, NULL, 0, 0, 7, Alive },
        { "normal", "normal", 1, 0, "crash", 0, 1, 7, Alive },
        { "normal", "normal", 1, 0, "sleep", 0, 1, 1, 0 },
        { "normal", "ignores-acpi", 1, 0, "power", 0, 1, 5, Alive },
        { "normal", "no-acpi", 1, 0, "power", 0, 0, 5, Alive },
        { "normal", "sleeps", 1, 0, "sleep", 0, 1, 5, Alive },
        { "normal", "sleeps", 1, 1, "sleep", 0, 1, 6, Alive },
        { "normal", "sleeps", 1, 1, "power", 0, 1, 1, 0 },
        { "normal", "normal", 1, 0, "savestate", 0, 1, 2, 0 },
        { "normal", "normal", 1, 0, "poweroff", 0, 1, 1, 0 },
        { "normal", "normal", 1, 0, "savestate", -1, 1, 12, Alive },
    };
    EXPECT_EQ(0, StandinSetGuest("Web Server", "asleep"));
    EXPECT_EQ(0, StandinHeadlessEnds("Web Server", "savestate"));
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.headless) + " " + row.guest + " " + (row.press ? row.press : "-"));
        ASSERT_EQ(1, StandinReset());
        StandinMachine web = MakeMachine("Web Server", WebUuid, row.before);
        web.sleepStates = row.sleepStates;
        ASSERT_EQ(1, StandinPutMachine(&web));
        ASSERT_EQ(1, StandinSetHeadlessBehaviour("Web Server", row.headless, 3));
        ASSERT_EQ(1, StandinSetGuest("Web Server", row.guest));
        ASSERT_EQ(1, StandinSetDelay("SaveState", row.saveDelay));
        PROCESS_INFORMATION process = StartMachine("Web Server", WebUuid);
        if (row.press != NULL) {
            IConsole *console = LockConsole(Find(virtualBox, L"Web Server"), NewSession());
            ASSERT_NE(nullptr, console);
            long entered = -1;
            EXPECT_EQ(S_OK, console->GetGuestEnteredACPIMode(&entered));
            EXPECT_EQ(row.acpiEntered, entered);
            EXPECT_EQ(0, StandinHeadlessEnds("Web Server", "hibernate"));
            if (lstrcmpA(row.press, "power") == 0)
                EXPECT_EQ(S_OK, console->PowerButton());
            else if (lstrcmpA(row.press, "sleep") == 0)
                EXPECT_EQ(S_OK, console->SleepButton());
            else if (lstrcmpA(row.press, "crash") == 0)
                ASSERT_EQ(1, StandinSetGuest("Web Server", "crashes"));
            else
                ASSERT_EQ(1, StandinHeadlessEnds("Web Server", row.press));
        }
        if (row.exitCode != Alive) {
            EXPECT_EQ(row.exitCode, ExitCodeOf(process));
        }
        // A process that is to stay gets a while to show it does not (a slow machine can only hide a fault).
        for (int i = 0; i < 400 && StateOf("Web Server") != row.after; i++)
            Sleep(25);
        if (row.exitCode == Alive) {
            Sleep(200);
            EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process.hProcess, 0));
        }
        EXPECT_EQ(row.after, StateOf("Web Server"));
    }
}

// PowerDown, SaveState, the power button and the ACPI question in each state
// (the machine marked so in the catalogue; nothing ever completes).
TEST_F(StandinTest, EachStateTakesOnlyTheCallsVirtualBoxTakesInIt)
{
    for (const char *delay : { "PowerDown", "SaveState", "PowerButton" })
        ASSERT_EQ(1, StandinSetDelay(delay, -1));
    const HRESULT ok = S_OK, no = InvalidVmState;
    struct Row {
        long state;
        HRESULT results[4];  // PowerDown, SaveState, PowerButton, GetGuestEnteredACPIMode
    } rows[] = {
        { 5, { ok, ok, ok, ok } },   // Running
        { 6, { ok, ok, no, no } },   // Paused
        { 7, { ok, no, no, no } },   // Stuck
        { 8, { ok, no, ok, ok } },   // Teleporting
        { 9, { ok, no, ok, ok } },   // LiveSnapshotting
        { 10, { no, no, no, no } },  // Starting
        { 11, { no, no, no, no } },  // Stopping
        { 12, { no, no, no, no } },  // Saving
        { 13, { no, no, no, no } },  // Restoring
        { 1, { no, no, no, no } },   // PoweredOff: an exclusive lock's console
    };
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    for (const Row &row : rows) {
        for (int call = 0; call < 4; call++) {
            StandinMachine web = MakeMachine("Web Server", WebUuid, row.state);
            ASSERT_EQ(1, StandinPutMachine(&web));
            ISession *session = NewSession();
            IConsole *console = LockConsole(Find(virtualBox, L"Web Server"), session);
            ASSERT_NE(nullptr, console);
            IProgress *progress = NULL;
            long entered = 0;
            HRESULT result = call == 0 ? console->PowerDown(As(&progress))
                             : call == 1 ? console->SaveState(As(&progress))
                             : call == 2 ? console->PowerButton()
                                         : console->GetGuestEnteredACPIMode(&entered);
            Hold(progress);
            EXPECT_EQ(row.results[call], result) << "state " << row.state << " call " << call;
            EXPECT_EQ(S_OK, session->UnlockMachine());
        }
    }
}

TEST_F(StandinTest, InjectedFaultsArriveIntactAndAreJournalled)
{
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    const HRESULT custom = (HRESULT)0x80BB000AL;
    ASSERT_EQ(1, StandinSetFault("IVirtualBox::FindMachine", custom));
    Bstr name(L"Web Server");
    IMachine *machine = NULL;
    EXPECT_EQ(custom, virtualBox->FindMachine(name.value, As(&machine)));
    EXPECT_EQ(nullptr, machine);
    ASSERT_EQ(1, StandinSetFault("IVirtualBox::FindMachine", 0));
    machine = Find(virtualBox, L"Web Server");
    ASSERT_NE(nullptr, machine);

    ASSERT_EQ(1, StandinSetFault("IMachine::get_State", E_ACCESSDENIED));
    long state = -1;
    EXPECT_EQ(E_ACCESSDENIED, machine->get_State(&state));
    EXPECT_EQ(0, state);
    ASSERT_EQ(1, StandinSetFault("ISession::get_Console", (HRESULT)0x80BB0009L));
    IConsole *console = NULL;
    EXPECT_EQ((HRESULT)0x80BB0009L, NewSession()->get_Console(As(&console)));

    EXPECT_EQ(0, StandinSetFault("IMachine::NoSuchMethod", E_FAIL));
    EXPECT_EQ(0, StandinSetFault(NULL, E_FAIL));

    std::vector<std::string> journal = Journal();
    EXPECT_LE(0, IndexOf(journal, "IVirtualBox::FindMachine name=\"Web Server\" result=0x80bb000a"));
    EXPECT_LE(0, IndexOf(journal, "IMachine::get_State machine=\"Web Server\" result=0x80070005"));
    EXPECT_LE(0, IndexOf(journal, "ISession::get_Console result=0x80bb0009")) << Joined(journal);
}

TEST_F(StandinTest, InjectedFaultsOfTheClassFactories)
{
    ASSERT_EQ(1, StandinSetFault("VirtualBox::CreateInstance", (HRESULT)0x80BB0005L));
    ASSERT_EQ(1, StandinSetFault("Session::CreateInstance", E_OUTOFMEMORY));
    IVirtualBox *virtualBox = NULL;
    EXPECT_EQ((HRESULT)0x80BB0005L,
              CoCreateInstance(CLSID_VirtualBox, NULL, CLSCTX_LOCAL_SERVER, IID_IVirtualBox, (void **)&virtualBox));
    EXPECT_EQ(nullptr, virtualBox);
    ISession *session = NULL;
    EXPECT_EQ(E_OUTOFMEMORY, CoCreateInstance(CLSID_Session, NULL, CLSCTX_INPROC_SERVER, IID_ISession, (void **)&session));
    EXPECT_EQ(nullptr, session);

    ASSERT_EQ(1, StandinSetFault("VirtualBox::CreateInstance", 0));
    ASSERT_EQ(1, StandinSetFault("Session::CreateInstance", 0));
    EXPECT_NE(nullptr, Connect());
    EXPECT_NE(nullptr, NewSession());
    std::vector<std::string> expected = {
        "VirtualBox::CreateInstance result=0x80bb0005",
        "Session::CreateInstance result=0x8007000e",
        "VirtualBox::CreateInstance",
        "Session::CreateInstance",
    };
    EXPECT_EQ(expected, Journal());
}

TEST_F(StandinTest, JournalHoldsTheCallsOfAllThreeProcesses)
{
    SetEnvironmentVariableA("VBOX_INSTALL_PATH", "C:\\VBox\\");
    SetEnvironmentVariableA("VBOX_USER_HOME", "C:\\Users\\vbox\\.VirtualBox");
    // Wine ignores the priority class of CreateProcessA's flags; it is set
    // while the process is suspended, which the journal shows just the same.
    PROCESS_INFORMATION process = StartHeadless(std::string("-s \"") + WebUuid + "\" -v config",
                                                CREATE_SUSPENDED | CREATE_NO_WINDOW | BELOW_NORMAL_PRIORITY_CLASS);
    EXPECT_TRUE(SetPriorityClass(process.hProcess, BELOW_NORMAL_PRIORITY_CLASS));
    ResumeThread(process.hThread);
    SetEnvironmentVariableA("VBOX_INSTALL_PATH", NULL);
    SetEnvironmentVariableA("VBOX_USER_HOME", NULL);
    for (int i = 0; i < 200 && StateOf("Web Server") != 5; i++)
        Sleep(25);
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    IMachine *machine = Find(virtualBox, L"Web Server");
    ASSERT_NE(nullptr, machine);
    ISession *session = NewSession();
    IConsole *console = LockConsole(machine, session);
    ASSERT_NE(nullptr, console);
    IProgress *progress = NULL;
    ASSERT_EQ(S_OK, console->PowerDown(As(&progress)));
    Hold(progress);
    EXPECT_EQ(S_OK, progress->WaitForCompletion(-1));
    // The progress completes before the process ends: its end is awaited first.
    EXPECT_EQ(0u, ExitCodeOf(process));
    EXPECT_EQ(S_OK, session->UnlockMachine());

    std::string start = "VBoxHeadless::Start commandLine=\"" + StandinHeadlessPath() + " -s \\\"" + WebUuid +
                        "\\\" -v config\" VBOX_INSTALL_PATH=\"C:\\VBox\\\" VBOX_USER_HOME=\"C:\\Users\\vbox\\.VirtualBox\""
                        " priorityClass=16384 consoleWindow=0";
    std::vector<std::string> expected = {
        start,
        "VirtualBox::CreateInstance",
        "IVirtualBox::FindMachine name=\"Web Server\"",
        "Session::CreateInstance",
        "IMachine::LockMachine machine=\"Web Server\" lockType=1",
        "ISession::get_Console",
        "IConsole::PowerDown machine=\"Web Server\"",
        "IProgress::WaitForCompletion machine=\"Web Server\" timeout=-1",
        "VBoxHeadless::Exit machine=\"Web Server\" exitCode=0",
        "ISession::UnlockMachine",
    };
    std::vector<std::string> journal = Journal();
    // With no delay the process may end before the wait has begun.
    if (journal.size() == expected.size() && journal[7].find("VBoxHeadless::Exit") == 0)
        std::swap(expected[7], expected[8]);
    EXPECT_EQ(expected, journal);
}

TEST_F(StandinTest, ResetForgetsEverythingAndEndsTheMachines)
{
    ASSERT_EQ(1, StandinSetServerInfo("5.2.44", "D:\\home"));
    ASSERT_EQ(1, StandinSetFault("IVirtualBox::get_Version", E_FAIL));
    ASSERT_EQ(1, StandinSetDelay("PowerDown", 60000));
    ASSERT_EQ(1, StandinSetHeadlessBehaviour("Web Server", "hang", 0));
    PROCESS_INFORMATION process = StartMachine("Web Server", WebUuid);
    ASSERT_EQ(5, StateOf("Web Server"));
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    Bstr version;
    EXPECT_EQ(E_FAIL, virtualBox->get_Version(version.Out()));
    ASSERT_FALSE(Journal().empty());

    ASSERT_EQ(1, StandinReset());
    // Even a hanging VBoxHeadless has ended by the time the reset returns.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 0));
    EXPECT_EQ(0u, ExitCodeOf(process));
    StandinMachine machine;
    EXPECT_EQ(0, StandinGetMachine("Web Server", &machine));
    EXPECT_TRUE(Journal().empty());
    Bstr version2;
    EXPECT_EQ(S_OK, virtualBox->get_Version(version2.Out()));
    EXPECT_EQ("7.0.0", Narrow(version2.value));
    std::vector<std::string> expected = { "IVirtualBox::get_Version" };
    EXPECT_EQ(expected, Journal());
}

TEST_F(StandinTest, HangingHeadlessIgnoresTheStopUntilReset)
{
    ASSERT_EQ(1, StandinSetHeadlessBehaviour("Web Server", "hang", 0));
    PROCESS_INFORMATION process = StartMachine("Web Server", WebUuid);
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    IMachine *machine = Find(virtualBox, L"Web Server");
    ASSERT_NE(nullptr, machine);
    ISession *session = NewSession();
    IConsole *console = LockConsole(machine, session);
    ASSERT_NE(nullptr, console);
    IProgress *progress = NULL;
    ASSERT_EQ(S_OK, console->PowerDown(As(&progress)));
    Hold(progress);
    // A wait with a limit returns while the machine is still stopping, its
    // progress without an outcome.
    EXPECT_EQ(S_OK, progress->WaitForCompletion(500));
    long completed = -1, code = 0;
    IUnknown *errorInfo = NULL;
    EXPECT_EQ(S_OK, progress->get_Completed(&completed));
    EXPECT_EQ(0, completed);
    EXPECT_EQ(E_FAIL, progress->get_ResultCode(&code));
    EXPECT_EQ(E_FAIL, progress->get_ErrorInfo(&errorInfo));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process.hProcess, 0));
    EXPECT_EQ(11, StateOf("Web Server"));

    // A wait without a limit ends only when the stand-in is reset.
    HANDLE resetter = CreateThread(NULL, 0, ResetSoon, NULL, 0, NULL);
    ASSERT_NE(nullptr, resetter);
    EXPECT_EQ(E_ABORT, progress->WaitForCompletion(-1));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(resetter, 10000));
    DWORD resetResult = 0;
    GetExitCodeThread(resetter, &resetResult);
    CloseHandle(resetter);
    EXPECT_EQ(1u, resetResult);
    EXPECT_EQ(0u, ExitCodeOf(process));
}

TEST_F(StandinTest, HeadlessRejectsAnyOtherCommandLine)
{
    const char *wrong[] = {
        "",
        "-s 8c0bb7ae-52b1-4b5c-9b27-0a8c5e3b2f11 -v config",
        "-s \"8c0bb7ae-52b1-4b5c-9b27-0a8c5e3b2f11\" -v config --vrde on",
        "-s \"8c0bb7ae-52b1-4b5c-9b27-0a8c5e3b2f11\"",
        "--startvm \"8c0bb7ae-52b1-4b5c-9b27-0a8c5e3b2f11\" -v config",
        "-s \"\" -v config",
    };
    for (const char *arguments : wrong) {
        PROCESS_INFORMATION process = StartHeadless(arguments);
        EXPECT_EQ(2u, ExitCodeOf(process)) << arguments;
    }
    // Without CREATE_NO_WINDOW a console program gets a window of its own.
    PROCESS_INFORMATION windowed = StartHeadless("-v config", CREATE_NEW_CONSOLE);
    EXPECT_EQ(2u, ExitCodeOf(windowed));
    // Right form, unknown machine: it cannot attach.
    PROCESS_INFORMATION unknown = StartHeadless(std::string("-s \"") + MailUuid + "\" -v config");
    EXPECT_EQ(1u, ExitCodeOf(unknown));

    std::vector<std::string> journal = Journal();
    ASSERT_EQ(2 * (sizeof(wrong) / sizeof(wrong[0]) + 2), journal.size()) << Joined(journal);
    EXPECT_EQ("VBoxHeadless::Start commandLine=\"" + StandinHeadlessPath() +
                  " -s 8c0bb7ae-52b1-4b5c-9b27-0a8c5e3b2f11 -v config\" VBOX_INSTALL_PATH=(unset) VBOX_USER_HOME=(unset)"
                  " priorityClass=32 consoleWindow=0",
              journal[2]);
    EXPECT_EQ("VBoxHeadless::Exit machine=\"\" exitCode=2", journal[3]);
    size_t last = journal.size() - 4;
    EXPECT_EQ("VBoxHeadless::Start commandLine=\"" + StandinHeadlessPath() +
                  " -v config\" VBOX_INSTALL_PATH=(unset) VBOX_USER_HOME=(unset) priorityClass=32 consoleWindow=1",
              journal[last]);
    EXPECT_EQ("VBoxHeadless::Exit machine=\"\" exitCode=1", journal.back());
    EXPECT_EQ(1, StateOf("Web Server"));
}

TEST_F(StandinTest, TypeLibraryPutsEveryMethodAtItsPosition)
{
    ITypeLib *library = NULL;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_PelorinStandin, 1, 0, LANG_NEUTRAL, &library));
    struct Expected {
        const IID *iid;
        const wchar_t *name;
        INVOKEKIND kind;
        int position;
    };
    const Expected methods[] = {
        { &IID_IVirtualBox, L"Version", INVOKE_PROPERTYGET, 7 },
        { &IID_IVirtualBox, L"HomeFolder", INVOKE_PROPERTYGET, 10 },
        { &IID_IVirtualBox, L"FindMachine", INVOKE_FUNC, 29 },
        { &IID_IMachine, L"Id", INVOKE_PROPERTYGET, 14 },
        { &IID_IMachine, L"VRDEServer", INVOKE_PROPERTYGET, 54 },
        { &IID_IMachine, L"SessionPid", INVOKE_PROPERTYGET, 63 },
        { &IID_IMachine, L"State", INVOKE_PROPERTYGET, 64 },
        { &IID_IMachine, L"LockMachine", INVOKE_FUNC, 102 },
        { &IID_ISession, L"Console", INVOKE_PROPERTYGET, 10 },
        { &IID_ISession, L"UnlockMachine", INVOKE_FUNC, 11 },
        { &IID_IConsole, L"Display", INVOKE_PROPERTYGET, 12 },
        { &IID_IConsole, L"VRDEServerInfo", INVOKE_PROPERTYGET, 17 },
        { &IID_IConsole, L"PowerDown", INVOKE_FUNC, 22 },
        { &IID_IConsole, L"PowerButton", INVOKE_FUNC, 26 },
        { &IID_IConsole, L"SleepButton", INVOKE_FUNC, 27 },
        { &IID_IConsole, L"SaveState", INVOKE_FUNC, 30 },
        { &IID_IProgress, L"WaitForCompletion", INVOKE_FUNC, 26 },
        { &IID_IVRDEServer, L"Enabled", INVOKE_PROPERTYGET, 7 },
        { &IID_IVRDEServerInfo, L"Port", INVOKE_PROPERTYGET, 8 },
        { &IID_IDisplay, L"GetScreenResolution", INVOKE_FUNC, 7 },
    };
    for (const Expected &method : methods) {
        ITypeInfo *info = NULL;
        ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(*method.iid, &info));
        // A dual interface's type information describes the dispatch side; the
        // method table is the interface it refers to at index -1.
        HREFTYPE vtableType = 0;
        ITypeInfo *vtable = NULL;
        ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(-1, &vtableType));
        ASSERT_EQ(S_OK, info->GetRefTypeInfo(vtableType, &vtable));
        TYPEATTR *attributes = NULL;
        ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attributes));
        int found = -1;
        for (UINT i = 0; i < attributes->cFuncs && found < 0; i++) {
            FUNCDESC *function = NULL;
            ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &function));
            BSTR name = NULL;
            UINT count = 0;
            vtable->GetNames(function->memid, &name, 1, &count);
            if (name != NULL && wcscmp(name, method.name) == 0 && function->invkind == method.kind)
                found = function->oVft / (int)sizeof(void *);
            SysFreeString(name);
            vtable->ReleaseFuncDesc(function);
        }
        vtable->ReleaseTypeAttr(attributes);
        vtable->Release();
        info->Release();
        EXPECT_EQ(method.position, found) << Narrow((BSTR)method.name);
    }
    library->Release();
}

TEST_F(StandinTest, RestartEndsTheServerCleanlyAndAFreshOneServes)
{
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    Bstr version;
    ASSERT_EQ(S_OK, virtualBox->get_Version(version.Out()));
    // Waits until the old server has ended with exit code 0 and a new one answers.
    ASSERT_EQ(1, StandinRestartServer());
    Bstr again;
    EXPECT_NE(S_OK, virtualBox->get_Version(again.Out()));
    // A fresh activation reaches the new server: the old one revoked its class.
    IVirtualBox *fresh = Connect();
    ASSERT_NE(nullptr, fresh);
    Bstr version2;
    EXPECT_EQ(S_OK, fresh->get_Version(version2.Out()));
    EXPECT_EQ("7.0.0", Narrow(version2.value));
}

// Objects arrive typed: the client's proxy answers the check of the
// generation's identifier without asking the server (gone here), as with
// VirtualBox's declarations.
TEST_F(StandinTest, ObjectsArriveTypedSoTheirIdentifierIsCheckedWithoutACall)
{
    IVirtualBox *virtualBox = Connect();
    ASSERT_NE(nullptr, virtualBox);
    Bstr name(L"Web Server");
    IUnknown *machine = NULL, *checked = NULL;
    ASSERT_EQ(S_OK, virtualBox->FindMachine(name.value, &machine));
    Hold(machine);
    ASSERT_EQ(1, StandinRestartServer());
    EXPECT_EQ(S_OK, machine->QueryInterface(IID_IMachine, (void **)&checked));
    Hold(checked);
    // What the proxy does not know needs the server.
    EXPECT_NE(S_OK, machine->QueryInterface(IID_IDispatch, (void **)&checked));
}

// Connections from several processes at once, as the service's threads, the
// tests and the tray's requests make them: under Wine the server once hung for
// good when a connection's class factory stub went while another connection
// was being handed one.
TEST_F(StandinTest, ConnectionsFromEightProcessesAtOnceAllComplete)
{
    PROCESS_INFORMATION clients[8] = {};
    HANDLE running[8];
    DWORD started = 0;
    for (PROCESS_INFORMATION &client : clients) {
        if (StartProgram(Quote(BuiltProgramPath("standinctl.exe")) + " connect 150", &client))
            running[started++] = client.hProcess;
    }
    EXPECT_EQ(8u, started);
    // A server that hangs stops every connection: the clients are waited for
    // as long as the journal grows (each connection writes to it), however
    // slow the machine.
    char journalPath[MAX_PATH];
    ComposeJournalPath(journalPath, sizeof(journalPath));
    DWORD lastSize = 0, lastProgress = GetTickCount();
    while (started > 0 && WaitForMultipleObjects(started, running, TRUE, 1000) == WAIT_TIMEOUT) {
        WIN32_FILE_ATTRIBUTE_DATA journal = {};
        GetFileAttributesExA(journalPath, GetFileExInfoStandard, &journal);
        if (journal.nFileSizeLow != lastSize) {
            lastSize = journal.nFileSizeLow;
            lastProgress = GetTickCount();
        } else if (GetTickCount() - lastProgress > 60000) {
            ADD_FAILURE() << "no connection was made for 60 s";
            break;
        }
    }
    // Every client that did start is ended, whatever happened.
    for (PROCESS_INFORMATION &client : clients) {
        if (client.hProcess == NULL)
            continue;
        DWORD exitCode = STILL_ACTIVE;
        GetExitCodeProcess(client.hProcess, &exitCode);
        EXPECT_EQ(0u, exitCode);
        TerminateProcess(client.hProcess, 1);
        WaitForSingleObject(client.hProcess, 10000);
        CloseHandle(client.hThread);
        CloseHandle(client.hProcess);
    }
}

}  // namespace
