// Connecting to VirtualBox, creating sessions and finding the machine, through
// real COM against the stand-in.
#include "vbox_fixture.h"

#include <algorithm>

#include "settings.h"
#include "vbox_session.h"

namespace {

// After CloseVirtualBox the thread must be back where it was: COM initialised
// once (by the test itself), not zero times and not twice.
void ExpectComInitialisedOnceByTheTest()
{
    EXPECT_EQ(S_FALSE, CoInitialize(NULL));
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(S_OK, CoInitialize(NULL)) << "the session layer left COM initialised";
    CoUninitialize();
}

TEST_F(VboxTest, OpenAndCloseLogTheInterfaceLinesAndBalanceCom)
{
    // A letter of the ANSI code page beyond Latin-1 (S with caron in 1252): logged whole.
    ASSERT_EQ(1252u, GetACP());
    ASSERT_EQ(1, StandinSetServerInfo("7.0.99_STANDIN", "C:\\Users\\\x8a\xe1rka\\.VirtualBox"));
    strcpy(ServiceSettings.VboxUserHome, "C:\\Users\\\x8a\xe1rka\\.VirtualBox");
    HRESULT opened = E_FAIL;
    RunOnSupervisorThread([&] {
        ASSERT_EQ(S_OK, CoInitialize(NULL));
        opened = OpenVirtualBox();
        EXPECT_NE((IVirtualBox *)NULL, ServiceVirtualBox);
        EXPECT_NE((ISession *)NULL, ServiceSession);
        CloseVirtualBox();
        EXPECT_EQ((IVirtualBox *)NULL, ServiceVirtualBox);
        EXPECT_EQ((ISession *)NULL, ServiceSession);
        ExpectComInitialisedOnceByTheTest();
    });
    EXPECT_EQ(S_OK, opened);
    std::vector<std::string> expected = {
        "Initializing VirtualBox interface",
        "VirtualBox Interface v7.0.99_STANDIN initialized",
        "Using VirtualBox API generation 4.0",
        "Using VBOX_USER_HOME: C:\\Users\\\x8a\xe1rka\\.VirtualBox",
        "Closing VirtualBox interface",
    };
    EXPECT_EQ(expected, LogMessages());
}

// VirtualBox's server takes its home folder from where COM started it, not
// from the service: a different folder is said once (for each folder), a
// folder written otherwise (case, "/", a trailing separator) is the same.
TEST_F(VboxTest, AServerHomeOtherThanVboxUserHomeIsWarnedOfOnce)
{
    const struct {
        const char *serverHome;
        const char *vboxUserHome;
        bool warns;
    } rows[] = {
        { "C:\\Users\\vbox\\.VirtualBox", "c:/USERS/vbox/.virtualbox/", false },
        { "D:\\VirtualBox\\", "D:\\VirtualBox", false },
        { "D:\\Other Home", "C:\\Users\\vbox\\.VirtualBox", true },
    };
    for (const auto &row : rows) {
        ASSERT_EQ(1, StandinSetServerInfo(NULL, row.serverHome));
        strcpy(ServiceSettings.VboxUserHome, row.vboxUserHome);
        DeleteFileA(ServiceSettings.LogPath);
        // The supervisor's connection and a pipe request's: one warning.
        for (int connection = 0; connection < 2; connection++) {
            RunOnSupervisorThread([&] {
                EXPECT_EQ(S_OK, OpenVirtualBox()) << row.serverHome;
                CloseVirtualBox();
            });
        }
        std::string warning = std::string("WARNING: VirtualBox's server uses the home folder '") + row.serverHome +
                              "', not VboxUserHome '" + row.vboxUserHome + "'";
        std::vector<std::string> lines = LogMessages();
        EXPECT_EQ(row.warns ? 1 : 0, std::count(lines.begin(), lines.end(), warning)) << row.serverHome << Log();
        EXPECT_EQ(row.warns ? 1u : 0u, Log().find("WARNING") != std::string::npos ? 1u : 0u) << row.serverHome;
    }
}

TEST_F(VboxTest, NothingIsLoggedBelowLevelThree)
{
    ServiceSettings.Loglevel = 2;
    RunOnSupervisorThread([&] {
        EXPECT_EQ(S_OK, OpenVirtualBox());
        CloseVirtualBox();
    });
    EXPECT_EQ("", Log());
}

TEST_F(VboxTest, FailedConnectIsLoggedAndStillClosedOnce)
{
    ASSERT_EQ(1, StandinSetFault("VirtualBox::CreateInstance", (long)0x80070005));
    HRESULT opened = S_OK;
    RunOnSupervisorThread([&] {
        ASSERT_EQ(S_OK, CoInitialize(NULL));
        opened = OpenVirtualBox();
        EXPECT_EQ((IVirtualBox *)NULL, ServiceVirtualBox);
        EXPECT_EQ((ISession *)NULL, ServiceSession);
        CloseVirtualBox();
        ExpectComInitialisedOnceByTheTest();
    });
    EXPECT_EQ((HRESULT)0x80070005, opened);
    std::vector<std::string> expected = {
        "Initializing VirtualBox interface",
        "ERROR creating VirtualBox instance (rc = 0x80070005)",
        "Closing VirtualBox interface",
    };
    EXPECT_EQ(expected, LogMessages());
}

TEST_F(VboxTest, FailedVersionStillLogsTheHomeFolderAndCreatesNoSession)
{
    ASSERT_EQ(1, StandinSetServerInfo("7.0.99_STANDIN", "D:\\vbox home"));
    strcpy(ServiceSettings.VboxUserHome, "D:\\vbox home");
    ASSERT_EQ(1, StandinSetFault("IVirtualBox::get_Version", (long)0x80004005));
    HRESULT opened = S_OK;
    RunOnSupervisorThread([&] {
        opened = OpenVirtualBox();
        EXPECT_NE((IVirtualBox *)NULL, ServiceVirtualBox);
        EXPECT_EQ((ISession *)NULL, ServiceSession);
        CloseVirtualBox();
    });
    EXPECT_EQ((HRESULT)0x80004005, opened);
    std::vector<std::string> expected = {
        "Initializing VirtualBox interface",
        "ERROR initializing VirtualBox interface",
        "Using VBOX_USER_HOME: D:\\vbox home",
        "Closing VirtualBox interface",
    };
    EXPECT_EQ(expected, LogMessages());
}

TEST_F(VboxTest, FailedSessionCreationIsLogged)
{
    ASSERT_EQ(1, StandinSetFault("Session::CreateInstance", (long)0x8007000E));
    HRESULT opened = S_OK;
    RunOnSupervisorThread([&] {
        opened = OpenVirtualBox();
        EXPECT_NE((IVirtualBox *)NULL, ServiceVirtualBox);
        EXPECT_EQ((ISession *)NULL, ServiceSession);
        CloseVirtualBox();
    });
    EXPECT_EQ((HRESULT)0x8007000E, opened);
    EXPECT_TRUE(Logged("ERROR creating session instance (0x8007000e)")) << Log();
}

TEST_F(VboxTest, FindMachineByName)
{
    RunOnSupervisorThread([&] {
        ASSERT_EQ(S_OK, OpenVirtualBox());
        IMachine *machine = NULL;
        EXPECT_EQ(1, FindMachine(ServiceVirtualBox, TestVmName, &machine));
        ASSERT_NE((IMachine *)NULL, machine);
        BSTR uuid = NULL;
        EXPECT_EQ(S_OK, CallVbox(machine, MachineGetId, &uuid));
        EXPECT_STREQ(L"8c0bb7ae-52b1-4b5c-9b27-0a8c5e3b2f11", uuid);
        SysFreeString(uuid);
        machine->Release();
        CloseVirtualBox();
    });
    EXPECT_EQ(1u, JournalOf("IVirtualBox::FindMachine name=\"Web Server\"").size());
    EXPECT_EQ(std::string::npos, Log().find("ERROR"));
}

TEST_F(VboxTest, FindMachineFailuresAreLoggedByKind)
{
    RunOnSupervisorThread([&] {
        ASSERT_EQ(S_OK, OpenVirtualBox());
        IMachine *machine = (IMachine *)1;
        EXPECT_EQ(0, FindMachine(ServiceVirtualBox, "Ghost VM", &machine));
        EXPECT_EQ((IMachine *)NULL, machine);

        StandinSetFault("IVirtualBox::FindMachine", (long)0x80BB0001);
        EXPECT_EQ(0, FindMachine(ServiceVirtualBox, TestVmName, &machine));

        StandinSetFault("IVirtualBox::FindMachine", (long)0x80004005);
        EXPECT_EQ(0, FindMachine(ServiceVirtualBox, TestVmName, &machine));
        EXPECT_EQ((IMachine *)NULL, machine);

        // No connection: nothing is asked and nothing more is said.
        EXPECT_EQ(0, FindMachine(NULL, TestVmName, &machine));
        CloseVirtualBox();
    });
    std::vector<std::string> errors;
    for (const std::string &line : LogMessages()) {
        if (line.compare(0, 5, "ERROR") == 0)
            errors.push_back(line);
    }
    std::vector<std::string> expected = {
        "ERROR: Could not find registered VM 'Ghost VM'",
        "ERROR: Could not find registered VM 'Web Server'",
        "ERROR getting virtual machine interface (0x80004005)",
    };
    EXPECT_EQ(expected, errors);
    EXPECT_EQ(3u, JournalOf("IVirtualBox::FindMachine").size());
}

TEST(ToBstrTest, ConvertsTheWholeNarrowString)
{
    BSTR empty = ToBstr("");
    ASSERT_NE((BSTR)NULL, empty);
    EXPECT_EQ(0u, SysStringLen(empty));
    SysFreeString(empty);

    BSTR name = ToBstr("Web Server 2");
    EXPECT_EQ(12u, SysStringLen(name));
    EXPECT_STREQ(L"Web Server 2", name);
    SysFreeString(name);

    // Names come from the INI file in the ANSI code page.
    if (GetACP() == 1252) {
        BSTR accented = ToBstr("Caf\xe9");
        EXPECT_STREQ(L"Caf\u00e9", accented);
        SysFreeString(accented);
    }
}

} // namespace
