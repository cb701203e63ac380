// pelorin -i and -u against the prefix's Service Control Manager, and the
// access list that installation gives interactive users.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <vector>

#include "command_line.h"
#include "import_hook.h"
#include "install.h"
#include "service_account.h"
#include "service_harness.h"
#include "settings.h"
#include "test_support.h"

namespace {

std::string IniFor(const std::string &displayName, const std::string &extra = "")
{
    return "[Pelorin]\r\nVboxInstallPath=C:\\VBox\r\nVboxUserHome=C:\\vbox\r\nVmName=vm\r\nServiceName=" + displayName +
           "\r\n" + extra;
}

// A copy of pelorin.exe named <key name>.exe in its own folder, with its INI.
struct ServiceCopy {
    std::string folder;
    std::string exe;
    std::string keyName;
    std::string logPath;
};

ServiceCopy MakeServiceCopy(const std::string &fileBase, const std::string &ini)
{
    ServiceCopy copy;
    copy.folder = MakeTestFolder("install " + fileBase);
    copy.exe = CopyBuiltProgram("pelorin.exe", copy.folder, fileBase + ".exe");
    WriteTextFile(copy.folder + fileBase + ".ini", ini);
    copy.keyName = fileBase;
    for (char &c : copy.keyName) {
        if (c == ' ')
            c = '_';
    }
    copy.logPath = copy.folder + fileBase + ".log";
    RemoveServiceIfPresent(copy.keyName);
    return copy;
}

int RunCopy(const ServiceCopy &copy, const char *argument, std::string *output)
{
    return RunProgram(Quote(copy.exe) + " " + argument, output);
}

// The log line without its time stamp.
bool LogHas(const ServiceCopy &copy, const std::string &message)
{
    return ReadTextFile(copy.logPath).find("] " + message + "\r\n") != std::string::npos;
}

struct ServiceConfig {
    bool found = false;
    DWORD type = 0, startType = 0, errorControl = 0;
    std::string binaryPath, displayName, startName, description;
    DWORD preshutdownTimeout = 0;
};

ServiceConfig QueryConfig(const std::string &name)
{
    ServiceConfig config;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, name.c_str(), SERVICE_QUERY_CONFIG) : NULL;
    if (service != NULL) {
        std::vector<char> buffer(8192);
        DWORD needed = 0;
        if (QueryServiceConfigA(service, (QUERY_SERVICE_CONFIGA *)buffer.data(), (DWORD)buffer.size(), &needed)) {
            QUERY_SERVICE_CONFIGA *q = (QUERY_SERVICE_CONFIGA *)buffer.data();
            config.found = true;
            config.type = q->dwServiceType;
            config.startType = q->dwStartType;
            config.errorControl = q->dwErrorControl;
            config.binaryPath = q->lpBinaryPathName ? q->lpBinaryPathName : "";
            config.displayName = q->lpDisplayName ? q->lpDisplayName : "";
            config.startName = q->lpServiceStartName ? q->lpServiceStartName : "";
        }
        if (QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, (BYTE *)buffer.data(), (DWORD)buffer.size(), &needed)) {
            SERVICE_DESCRIPTIONA *d = (SERVICE_DESCRIPTIONA *)buffer.data();
            config.description = d->lpDescription ? d->lpDescription : "";
        }
        if (QueryServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, (BYTE *)buffer.data(), (DWORD)buffer.size(), &needed))
            config.preshutdownTimeout = ((SERVICE_PRESHUTDOWN_INFO *)buffer.data())->dwPreshutdownTimeout;
        CloseServiceHandle(service);
    }
    if (manager != NULL)
        CloseServiceHandle(manager);
    return config;
}

TEST(InstallTest, RegistersAnAutoStartServiceWithQuotedPathAndDescription)
{
    ServiceCopy copy = MakeServiceCopy("PelorinTest Quoted", IniFor("Pelorin Test Quoted"));
    std::string output;
    ASSERT_EQ(0, RunCopy(copy, "-i", &output));
    EXPECT_EQ("\r\nPelorin Test Quoted (PelorinTest_Quoted) service installed successfully.\r\n", output);
    EXPECT_TRUE(LogHas(copy, "Service Pelorin Test Quoted (PelorinTest_Quoted) installed successfully."))
        << ReadTextFile(copy.logPath);

    ServiceConfig config = QueryConfig(copy.keyName);
    ASSERT_TRUE(config.found);
    EXPECT_EQ(0x110u, config.type);
    EXPECT_EQ((DWORD)SERVICE_AUTO_START, config.startType);
    EXPECT_EQ((DWORD)SERVICE_ERROR_NORMAL, config.errorControl);
    // The folder has a blank in it: unquoted, Windows could start another program.
    EXPECT_EQ(Quote(copy.exe), config.binaryPath);
    EXPECT_EQ("Pelorin Test Quoted", config.displayName);
    EXPECT_EQ("Provides automatic start and shutdown of VirtualBox machine.", config.description);
    EXPECT_EQ(300000u, config.preshutdownTimeout);

    RemoveServiceIfPresent(copy.keyName);
}

TEST(InstallTest, TheQuotedPathStartsTheProgramAsTheService)
{
    ServiceCopy copy = MakeServiceCopy("PelorinTest Starts", IniFor("Pelorin Test Starts", "Loglevel=3\r\n"));
    ASSERT_EQ(0, RunCopy(copy, "-i", NULL));

    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, copy.keyName.c_str(), SERVICE_START);
    ASSERT_NE((SC_HANDLE)NULL, service);
    // Wine answers 1053 when a service stops while it is still starting, as this one does.
    BOOL started = StartServiceA(service, 0, NULL);
    EXPECT_TRUE(started || GetLastError() == ERROR_SERVICE_REQUEST_TIMEOUT) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    EXPECT_EQ((DWORD)SERVICE_STOPPED, WaitForServiceState(copy.keyName, SERVICE_STOPPED, 15000));
    EXPECT_TRUE(LogHas(copy, "Pelorin v0.4.1.112 started")) << ReadTextFile(copy.logPath);

    RemoveServiceIfPresent(copy.keyName);
}

// Wine reports Windows XP to one program when its AppDefaults say so.
TEST(InstallTest, OnlyVistaAndLaterGetThePreShutdownTimeout)
{
    struct Case {
        const char *base;
        const char *windows;
        DWORD timeout;
    } cases[] = { { "PelorinTestXp", "winxp", 180000 }, { "PelorinTestWin7", "win7", 300000 } };
    for (const Case &c : cases) {
        std::string key = std::string("Software\\Wine\\AppDefaults\\") + c.base + ".exe";
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_CURRENT_USER, key.c_str(), "Version", REG_SZ, c.windows,
                                                 (DWORD)strlen(c.windows) + 1));
        ServiceCopy copy = MakeServiceCopy(c.base, IniFor(c.base));
        EXPECT_EQ(0, RunCopy(copy, "-i", NULL)) << c.windows;
        // Wine's own default for a service that sets none is three minutes.
        EXPECT_EQ(c.timeout, QueryConfig(copy.keyName).preshutdownTimeout) << c.windows;
        RemoveServiceIfPresent(copy.keyName);
        RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
    }
}

// What -i asks of ChangeServiceConfig2A for the recovery actions, as it asked it.
struct RecoveryCall {
    DWORD level;
    DWORD resetPeriod;
    std::vector<SC_ACTION> actions;
    BOOL onNonCrashFailures;
    BOOL answered;
};
std::vector<RecoveryCall> RecoveryCalls;
void *RealChangeServiceConfig2;

BOOL WINAPI RecordChangeServiceConfig2(SC_HANDLE service, DWORD level, LPVOID info)
{
    BOOL answered = ((decltype(&ChangeServiceConfig2A))RealChangeServiceConfig2)(service, level, info);
    RecoveryCall call = { level, 0, {}, FALSE, answered };
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        SERVICE_FAILURE_ACTIONSA *failure = (SERVICE_FAILURE_ACTIONSA *)info;
        call.resetPeriod = failure->dwResetPeriod;
        call.actions.assign(failure->lpsaActions, failure->lpsaActions + failure->cActions);
    } else if (level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
        call.onNonCrashFailures = ((SERVICE_FAILURE_ACTIONS_FLAG *)info)->fFailureActionsOnNonCrashFailures;
    } else {
        return answered;
    }
    RecoveryCalls.push_back(call);
    return answered;
}

// Wine keeps no recovery actions (QueryServiceConfig2A answers
// ERROR_INVALID_LEVEL for them), so the calls are checked as they are made.
TEST(InstallTest, RecoveryActionsRestartTwiceAMinuteApartUnlessRestartOnFailureIsZero)
{
    VistaOrLater = 1;
    for (const char *extra : { "", "RestartOnFailure=0\r\n" }) {
        ServiceCopy copy = MakeServiceCopy("PelorinTestRecovery", IniFor("Pelorin Test Recovery", extra));
        ASSERT_EQ(1, LoadSettingsForProgram(copy.exe.c_str(), 1)) << extra;
        RecoveryCalls.clear();
        RealChangeServiceConfig2 = ReplaceImport("advapi32.dll", "ChangeServiceConfig2A", (void *)RecordChangeServiceConfig2);
        int installed = InstallService();
        ReplaceImport("advapi32.dll", "ChangeServiceConfig2A", RealChangeServiceConfig2);
        RemoveServiceIfPresent(copy.keyName);
        ASSERT_EQ(InstallDone, installed) << extra;
        if (extra[0] != '\0') {
            EXPECT_TRUE(RecoveryCalls.empty()) << extra;
            continue;
        }
        ASSERT_EQ(2u, RecoveryCalls.size());
        EXPECT_EQ((DWORD)SERVICE_CONFIG_FAILURE_ACTIONS, RecoveryCalls[0].level);
        EXPECT_EQ(86400u, RecoveryCalls[0].resetPeriod);
        ASSERT_EQ(3u, RecoveryCalls[0].actions.size());
        const SC_ACTION_TYPE types[3] = { SC_ACTION_RESTART, SC_ACTION_RESTART, SC_ACTION_NONE };
        const DWORD delays[3] = { 60000, 60000, 0 };
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(types[i], RecoveryCalls[0].actions[i].Type) << i;
            EXPECT_EQ(delays[i], RecoveryCalls[0].actions[i].Delay) << i;
        }
        EXPECT_EQ((DWORD)SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, RecoveryCalls[1].level);
        EXPECT_TRUE(RecoveryCalls[1].onNonCrashFailures);
        printf("Wine answered the two calls %d and %d\n", RecoveryCalls[0].answered, RecoveryCalls[1].answered);
    }
}

// The INTERACTIVE entry of the DACL that -i sets, as it set it (Wine stubs
// service descriptors: nothing could be read back from the service).
DWORD InteractiveRights;
void *RealSetServiceObjectSecurity;

BOOL WINAPI RecordSetServiceObjectSecurity(SC_HANDLE service, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    for (DWORD i = 0; GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && dacl != NULL
                      && i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace = NULL;
        if (GetAce(dacl, i, (void **)&ace) && IsWellKnownSid((PSID)&ace->SidStart, WinInteractiveSid))
            InteractiveRights = ace->Mask;
    }
    return ((decltype(&SetServiceObjectSecurity))RealSetServiceObjectSecurity)(service, what, descriptor);
}

TEST(InstallTest, UserRightsControlLeavesInteractiveUsersNoRightToChangeTheService)
{
    // The tray opens services for GENERIC_READ: control keeps it whole.
    const DWORD control = GENERIC_READ | SERVICE_START | SERVICE_STOP | SERVICE_USER_DEFINED_CONTROL;
    const struct {
        const char *extra;
        DWORD rights;
        bool logged;
    } rows[] = {
        { "", GENERIC_READ | SERVICE_STOP | SERVICE_START | SERVICE_CHANGE_CONFIG, false },
        { "UserRights=FULL\r\n", GENERIC_READ | SERVICE_STOP | SERVICE_START | SERVICE_CHANGE_CONFIG, false },
        { "UserRights=control\r\n", control, false },
        { "UserRights=controll\r\n", control, true },
    };
    for (const auto &row : rows) {
        ServiceCopy copy = MakeServiceCopy("PelorinTestRights", IniFor("Pelorin Test Rights", row.extra));
        ASSERT_EQ(1, LoadSettingsForProgram(copy.exe.c_str(), 1)) << row.extra;
        // Only -i, which applies the word, says that it does not know it.
        EXPECT_FALSE(FileExists(copy.logPath)) << row.extra;
        InteractiveRights = 0;
        RealSetServiceObjectSecurity =
            ReplaceImport("advapi32.dll", "SetServiceObjectSecurity", (void *)RecordSetServiceObjectSecurity);
        int installed = InstallService();
        ReplaceImport("advapi32.dll", "SetServiceObjectSecurity", RealSetServiceObjectSecurity);
        RemoveServiceIfPresent(copy.keyName);
        EXPECT_EQ(InstallDone, installed) << row.extra;
        EXPECT_EQ(row.rights, InteractiveRights) << row.extra;
        std::string log = FileExists(ServiceSettings.LogPath) ? ReadTextFile(ServiceSettings.LogPath) : "";
        EXPECT_EQ(row.logged, log.find("ERROR: UserRights 'controll' is neither full nor control;"
                                       " interactive users get control rights") != std::string::npos)
            << row.extra;
    }
}

// Wine knows one account besides the well-known ones, the prefix's user,
// which every process runs as; it checks no password and keeps no right.
std::string PrefixUser()
{
    char name[256];
    DWORD size = sizeof(name);
    return GetUserNameA(name, &size) ? ".\\" + std::string(name) : "";
}

// A scripted install gives the password on standard input; a bare name is a local account.
TEST(InstallTest, AnAccountsPasswordComesFromStandardInputAndIsKeptNowhere)
{
    const std::string user = PrefixUser();
    ServiceCopy copy = MakeServiceCopy("PelorinTestAccount", IniFor("Pelorin Test Account", "ServiceAccount=" +
                                                                    user.substr(2) + "\r\nRestartOnFailure=0\r\n"));
    std::string output;
    EXPECT_EQ(0, RunProgramWithInput(Quote(copy.exe) + " -i", "Pass word\r\n", &output));
    EXPECT_EQ("\r\nAccount '" + user + "' was granted the right to log on as a service.\r\n"
              "\r\nPelorin Test Account (PelorinTestAccount) service installed successfully.\r\n", output);
    ServiceConfig config = QueryConfig(copy.keyName);
    EXPECT_EQ(user + " 16", config.startName + " " + std::to_string(config.type));
    for (const std::string &text : { output, ReadTextFile(copy.logPath), ReadTextFile(copy.folder + "PelorinTestAccount.ini") })
        EXPECT_EQ(std::string::npos, text.find("Pass word")) << text;
    RemoveServiceIfPresent(copy.keyName);
}

// What Windows could answer where Wine does not (its manager refuses nothing,
// its LSA keeps no right, its CreateServiceA takes any password), and what
// -i and -u asked of it.
struct {
    std::string refused;  // OpenSCManagerA or CreateServiceA; OpenServiceA refuses always
    NTSTATUS enumerated, added;
    ULONG listed;  // of SeBatchLogonRight, SeServiceLogonRight
    std::string asked;
    void *realManager, *realCreate;
} Answers;

SC_HANDLE WINAPI FakeManager(LPCSTR machine, LPCSTR database, DWORD access)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return Answers.refused == "OpenSCManagerA"
               ? NULL
               : ((decltype(&OpenSCManagerA))Answers.realManager)(machine, database, access);
}

SC_HANDLE WINAPI RefusedService(SC_HANDLE, LPCSTR, DWORD access)
{
    Answers.asked += "open " + std::to_string(access) + "; ";
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

NTSTATUS NTAPI ListedRights(LSA_HANDLE, PSID, PLSA_UNICODE_STRING *rights, PULONG count)
{
    static WCHAR batch[] = L"SeBatchLogonRight", service[] = L"SeServiceLogonRight";
    static LSA_UNICODE_STRING listed[2] = { { 34, 36, batch }, { 38, 40, service } };
    *rights = listed;
    *count = Answers.listed;
    return Answers.enumerated;
}

NTSTATUS NTAPI KeptMemory(PVOID) { return 0; }

NTSTATUS NTAPI AskedRight(LSA_HANDLE, PSID sid, PLSA_UNICODE_STRING rights, ULONG count)
{
    char *text = NULL;
    ConvertSidToStringSidA(sid, &text);
    Answers.asked += "grant " + std::to_string(count) + " " +
                     std::string(rights->Buffer, rights->Buffer + rights->Length / 2) + " " + text + "; ";
    LocalFree(text);
    return Answers.added;
}

SC_HANDLE WINAPI CreatedService(SC_HANDLE manager, LPCSTR name, LPCSTR display, DWORD access, DWORD type, DWORD start,
                                DWORD control, LPCSTR path, LPCSTR group, LPDWORD tag, LPCSTR after, LPCSTR user,
                                LPCSTR password)
{
    Answers.asked += std::string("create ") + (user ? user : "-") + " " + (password ? password : "-") + " " +
                     std::to_string(type) + "; ";
    SetLastError(ERROR_INVALID_SERVICE_ACCOUNT);
    return Answers.refused == "CreateServiceA"
               ? NULL
               : ((decltype(&CreateServiceA))Answers.realCreate)(manager, name, display, access, type, start, control,
                                                                 path, group, tag, after, user, password);
}

TEST(InstallTest, EachRefusalIsSaidWithItsCodeAndLeavesNothingInstalled)
{
    const std::string user = PrefixUser(), create = "create " + user + " pw 16; ";
    const std::string error = "ERROR installing Pelorin Test Grant (PelorinTestGrant) service: ";
    const std::string grant = "grant 1 SeServiceLogonRight " + ProcessUserSid() + "; ", unread = "the password for '" + user;
    const std::string granted = "Account '" + user + "' was granted the right to log on as a service.";
    const std::string refused = error + "account '" + user + "' could not be granted the right to log on as a service (0x00000005)";
    const std::string denied = " Pelorin Test Grant (PelorinTestGrant) service: access denied; run it as an administrator (0x00000005)";
    const NTSTATUS none = (NTSTATUS)0xC0000034L, no = (NTSTATUS)0xC0000022L;
    const struct {
        bool install;
        std::string account, input, refused;
        NTSTATUS enumerated, listed, added;
        int result;
        std::string line, asked;
    } rows[] = {
        { true, user, "pw\r\n", "", 0, 2, 0, InstallDone, "", create },
        { true, user, "pw\r\n", "", 0, 1, 0, InstallDone, granted, grant + create },
        { true, user, "pw\r\n", "", none, 0, 0, InstallDone, granted, grant + create },
        { true, user, "pw\r\n", "", none, 0, no, InstallGrantRefused, refused, grant },
        { true, user, "pw\r\n", "", no, 0, 0, InstallGrantRefused, refused, "" },
        // Where Windows checks the password at installation.
        { true, user, "pw\r\n", "CreateServiceA", 0, 2, 0, InstallFailed, error + "invalid account name or password (0x00000421)", create },
        { true, user.substr(2), "pw", "", 0, 2, 0, InstallDone, "", create },
        { true, "localsystem", "", "", 0, 0, 0, InstallDone, "", "create - - 272; " },
        { true, ".\\nosuchuser", "pw", "", 0, 0, 0, InstallAccountUnknown, error + "account '.\\nosuchuser' not found (0x00000534)", "" },
        { true, user, "", "", 0, 0, 0, InstallPasswordUnread, error + unread + "' could not be read (0x00000026)", "" },
        { true, user, std::string(257, 'p'), "", 0, 0, 0, InstallPasswordUnread, error + unread + "' is longer than 256 characters", "" },
        // As a prompt that is not elevated meets it; before any password is asked.
        { true, user, "pw", "OpenSCManagerA", 0, 0, 0, InstallFailed, "ERROR installing" + denied, "" },
        { false, user, "", "OpenSCManagerA", 0, 0, 0, UninstallFailed, "ERROR uninstalling" + denied, "" },
        // Removal asks only for the rights it needs.
        { false, user, "", "", 0, 0, 0, UninstallFailed, "ERROR uninstalling" + denied, "open 65540; " },
    };
    VistaOrLater = 0;
    for (const auto &row : rows) {
        ServiceCopy copy = MakeServiceCopy("PelorinTestGrant", IniFor("Pelorin Test Grant", "ServiceAccount=" +
                                                                      row.account + "\r\nRestartOnFailure=0\r\n"));
        ASSERT_EQ(1, LoadSettingsForProgram(copy.exe.c_str(), 1));
        Answers = { row.refused, row.enumerated, row.added, (ULONG)row.listed, "", NULL, NULL };
        HANDLE input = NULL, writer = NULL, standardInput = GetStdHandle(STD_INPUT_HANDLE);
        DWORD written = 0;
        ASSERT_TRUE(CreatePipe(&input, &writer, NULL, 0) &&
                    WriteFile(writer, row.input.data(), (DWORD)row.input.size(), &written, NULL));
        CloseHandle(writer);
        SetStdHandle(STD_INPUT_HANDLE, input);
        int result;
        {
            ImportReplaced manager("advapi32.dll", "OpenSCManagerA", (void *)FakeManager);
            ImportReplaced service("advapi32.dll", "OpenServiceA", (void *)RefusedService);
            ImportReplaced enumerate("advapi32.dll", "LsaEnumerateAccountRights", (void *)ListedRights);
            ImportReplaced free("advapi32.dll", "LsaFreeMemory", (void *)KeptMemory);
            ImportReplaced add("advapi32.dll", "LsaAddAccountRights", (void *)AskedRight);
            ImportReplaced create("advapi32.dll", "CreateServiceA", (void *)CreatedService);
            Answers.realManager = manager.real;
            Answers.realCreate = create.real;
            result = row.install ? InstallService() : UninstallService();
        }
        SetStdHandle(STD_INPUT_HANDLE, standardInput);
        CloseHandle(input);
        std::vector<std::string> lines = LogMessagesOf(copy.logPath);
        size_t at = &row - rows;
        EXPECT_EQ(row.result, result) << at;
        EXPECT_EQ(row.line, lines.empty() ? "" : lines.back()) << at;
        EXPECT_EQ(row.asked, Answers.asked) << at;
        EXPECT_EQ(row.install && result == InstallDone, ServiceExists(copy.keyName)) << at;
        RemoveServiceIfPresent(copy.keyName);
    }
}

// The console, played in-process (Wine's cannot be typed into from a test):
// the keys typed and the modes set.
std::wstring Keys;
std::vector<DWORD> ConsoleModes;
const DWORD ConsoleMode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_INSERT_MODE;

BOOL WINAPI ConsoleModeOf(HANDLE, LPDWORD mode) { *mode = ConsoleMode; return TRUE; }
BOOL WINAPI SetModeOf(HANDLE, DWORD mode) { ConsoleModes.push_back(mode); return TRUE; }

BOOL WINAPI TypedKey(HANDLE, LPVOID key, DWORD, LPDWORD read, PVOID)
{
    SetLastError(ERROR_OPERATION_ABORTED);
    if (Keys.empty())
        return FALSE;
    *(WCHAR *)key = Keys[0];
    Keys.erase(0, 1);
    *read = 1;
    return TRUE;
}

TEST(ServiceAccountTest, TheConsoleTakesThePasswordWithoutEchoAndGetsItsModeBack)
{
    const struct {
        std::wstring keys, password;  // the password as CreateServiceA reads it, from the ANSI code page
        DWORD error;
    } rows[] = {
        { L"se\bcret\r", L"scret", NO_ERROR },
        { L"\x00FC" L"ber\r", L"\x00FC" L"ber", NO_ERROR },
        { L"abc\x0003", L"", ERROR_CANCELLED },
        { L"abc", L"", ERROR_OPERATION_ABORTED },
        // Read on to the Enter key, so that nothing is left for the prompt behind.
        { std::wstring(257, L'x') + L"y\r", L"", ERROR_INSUFFICIENT_BUFFER },
    };
    ImportReplaced get("kernel32.dll", "GetConsoleMode", (void *)ConsoleModeOf);
    ImportReplaced set("kernel32.dll", "SetConsoleMode", (void *)SetModeOf);
    ImportReplaced typed("kernel32.dll", "ReadConsoleW", (void *)TypedKey);
    for (const auto &row : rows) {
        Keys = row.keys;
        ConsoleModes.clear();
        char password[SERVICE_PASSWORD_MAX + 1] = "unread";
        WCHAR read[SERVICE_PASSWORD_MAX + 1] = L"";
        EXPECT_EQ(row.error, ReadServicePassword(".\\vbox", password, sizeof(password))) << row.keys.size();
        MultiByteToWideChar(CP_ACP, 0, password, -1, read, SERVICE_PASSWORD_MAX + 1);
        EXPECT_EQ(row.password + L"|", read + std::wstring(L"|") + Keys) << row.keys.size();
        EXPECT_EQ(std::vector<DWORD>({ ENABLE_INSERT_MODE, ConsoleMode }), ConsoleModes) << row.keys.size();
    }
}

TEST(InstallTest, UpperCaseOptionAndExtraArgumentsInstallToo)
{
    ServiceCopy copy = MakeServiceCopy("PelorinTestUpper", IniFor("Pelorin Test Upper"));
    std::string output;
    EXPECT_EQ(0, RunCopy(copy, "-I --anything", &output));
    EXPECT_EQ("\r\nPelorin Test Upper (PelorinTestUpper) service installed successfully.\r\n", output);
    EXPECT_TRUE(QueryConfig(copy.keyName).found);
    EXPECT_EQ(0, RunCopy(copy, "-U", &output));
    EXPECT_FALSE(ServiceExists(copy.keyName));
}

TEST(InstallTest, SecondInstallFailsWithServiceAlreadyExists)
{
    ServiceCopy copy = MakeServiceCopy("PelorinTestTwice", IniFor("Pelorin Test Twice"));
    ASSERT_EQ(0, RunCopy(copy, "-i", NULL));

    std::string output;
    EXPECT_EQ(2, RunCopy(copy, "-i", &output));
    EXPECT_EQ("\r\nERROR installing Pelorin Test Twice (PelorinTestTwice) service: service already exists\r\n", output);
    EXPECT_TRUE(LogHas(copy, "ERROR installing Pelorin Test Twice (PelorinTestTwice) service: service already exists"));

    RemoveServiceIfPresent(copy.keyName);
}

TEST(InstallTest, SecondCopyWithTheSameDisplayNameIsRefused)
{
    ServiceCopy first = MakeServiceCopy("PelorinTestFirst", IniFor("Pelorin Shared Name"));
    ServiceCopy second = MakeServiceCopy("PelorinTestSecond", IniFor("Pelorin Shared Name"));
    ASSERT_EQ(0, RunCopy(first, "-i", NULL));

    std::string output;
    EXPECT_EQ(2, RunCopy(second, "-i", &output));
    EXPECT_EQ("\r\nERROR installing Pelorin Shared Name (PelorinTestSecond) service: duplicate service display name\r\n",
              output);
    EXPECT_TRUE(LogHas(second, "ERROR installing Pelorin Shared Name (PelorinTestSecond) service: duplicate service display name"));
    EXPECT_FALSE(ServiceExists(second.keyName));

    RemoveServiceIfPresent(first.keyName);
}

TEST(InstallTest, UninstallRemovesAStoppedService)
{
    ServiceCopy copy = MakeServiceCopy("PelorinTestRemove", IniFor("Pelorin Test Remove"));
    ASSERT_EQ(0, RunCopy(copy, "-i", NULL));

    std::string output;
    EXPECT_EQ(0, RunCopy(copy, "-u", &output));
    EXPECT_EQ("\r\nPelorin Test Remove (PelorinTestRemove) service uninstalled successfully.\r\n", output);
    EXPECT_TRUE(LogHas(copy, "Service Pelorin Test Remove (PelorinTestRemove) uninstalled successfully."));
    EXPECT_FALSE(ServiceExists(copy.keyName));
}

TEST(InstallTest, RemovingARunningServiceWaitsUntilItStops)
{
    ServiceCopy copy = MakeServiceCopy("PelorinTestRunning", IniFor("Pelorin Test Running"));
    ASSERT_EQ(0, RunCopy(copy, "-i", NULL));

    // A test service that keeps running takes the registered program's place.
    std::string stayer = CopyBuiltProgram("traytestservice.exe", copy.folder, "stayer.exe");
    WriteTextFile(copy.folder + "stayer.ini", "[TestService]\r\nState=running\r\n");
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, copy.keyName.c_str(), SERVICE_CHANGE_CONFIG | SERVICE_START);
    ASSERT_NE((SC_HANDLE)NULL, service);
    EXPECT_TRUE(ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                     Quote(stayer).c_str(), NULL, NULL, NULL, NULL, NULL, NULL));
    EXPECT_TRUE(StartServiceA(service, 0, NULL)) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(copy.keyName, SERVICE_RUNNING, 15000));

    std::string output;
    EXPECT_EQ(2, RunCopy(copy, "-u", &output));
    EXPECT_EQ("\r\nPelorin Test Running (PelorinTestRunning) service is still running and will be uninstalled when stopped.\r\n",
              output);
    EXPECT_TRUE(LogHas(copy, "Service Pelorin Test Running (PelorinTestRunning) is still running and will be uninstalled when stopped."));
    EXPECT_TRUE(ServiceExists(copy.keyName));

    EXPECT_EQ(3, RunCopy(copy, "-u", &output));
    EXPECT_EQ("\r\nERROR uninstalling Pelorin Test Running (PelorinTestRunning) service: service already marked for deletion\r\n",
              output);

    // When it stops, it is gone.
    WriteTextFile(copy.folder + "stayer.ini", "[TestService]\r\nState=stopped\r\n");
    for (int i = 0; i < 100 && ServiceExists(copy.keyName); i++)
        Sleep(100);
    EXPECT_FALSE(ServiceExists(copy.keyName));
}

TEST(InstallTest, UninstallOfANeverInstalledServiceFailsWithExitCode3)
{
    ServiceCopy copy = MakeServiceCopy("PelorinTestNever", IniFor("Pelorin Test Never"));
    std::string output;
    EXPECT_EQ(3, RunCopy(copy, "-u", &output));
    EXPECT_EQ("\r\nERROR uninstalling Pelorin Test Never (PelorinTestNever) service: service not found\r\n", output);
    EXPECT_TRUE(LogHas(copy, "ERROR uninstalling Pelorin Test Never (PelorinTestNever) service: service not found"));
}

TEST(InstallTest, IncompleteSettingsBlockInstallAndRemoval)
{
    ServiceCopy copy = MakeServiceCopy("PelorinTestIncomplete",
                                       "[Pelorin]\r\nVboxInstallPath=C:\\VBox\r\nVboxUserHome=C:\\vbox\r\n");
    std::string hint = "\r\nConfiguration is not complete.\r\nCheck " + copy.logPath + " file.\r\n";
    std::string output;
    EXPECT_EQ(1, RunCopy(copy, "-i", &output));
    EXPECT_EQ(hint, output);
    EXPECT_FALSE(ServiceExists(copy.keyName));
    EXPECT_EQ(1, RunCopy(copy, "-u", &output));
    EXPECT_EQ(hint, output);

    std::string log = ReadTextFile(copy.logPath);
    size_t first = log.find("] ERROR: No VmName configured\r\n");
    ASSERT_NE(std::string::npos, first) << log;
    EXPECT_NE(std::string::npos, log.find("] ERROR: No VmName configured\r\n", first + 1)) << log;
    EXPECT_EQ(2, std::count(log.begin(), log.end(), '\n')) << log;
}

// The INTERACTIVE entry that installation sets, read back from the descriptor it builds.
class InteractiveAccessTest : public ::testing::Test {
protected:
    PSECURITY_DESCRIPTOR current = NULL;
    SECURITY_DESCRIPTOR built;
    PACL newDacl = NULL;
    PSID sid = NULL;

    void SetUp() override
    {
        std::string folder = MakeTestFolder("interactive access");
        ServiceSettingsRecord initial = {};
        initial.Loglevel = 1;
        strcpy(initial.LogPath, (folder + "pelorin.log").c_str());
        ServiceSettings = initial;
    }

    void TearDown() override
    {
        if (newDacl != NULL)
            LocalFree(newDacl);
        if (sid != NULL)
            FreeSid(sid);
        if (current != NULL)
            LocalFree(current);
    }

    // "sddl" is the current descriptor; returns the built DACL in SDDL form.
    std::string Build(const char *sddl)
    {
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &current, NULL));
        EXPECT_EQ(1, BuildInteractiveDescriptor(current, INTERACTIVE_SERVICE_ACCESS, &built, &newDacl, &sid));
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = NULL;
        EXPECT_TRUE(GetSecurityDescriptorDacl(&built, &present, &dacl, &defaulted));
        EXPECT_TRUE(present);
        EXPECT_EQ(newDacl, dacl);
        char *text = NULL;
        EXPECT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(&built, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                        &text, NULL));
        std::string result = text ? text : "";
        LocalFree(text);
        return result;
    }

    // Access mask of the one INTERACTIVE allow entry; 0 if there is none, -1 if several.
    long InteractiveMask()
    {
        long mask = 0;
        int found = 0;
        for (DWORD i = 0; newDacl != NULL && i < newDacl->AceCount; i++) {
            ACCESS_ALLOWED_ACE *ace = NULL;
            if (!GetAce(newDacl, i, (void **)&ace) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
                continue;
            if (IsWellKnownSid((PSID)&ace->SidStart, WinInteractiveSid)) {
                mask = (long)ace->Mask;
                found++;
            }
        }
        return found > 1 ? -1 : mask;
    }
};

TEST_F(InteractiveAccessTest, EmptyDaclGainsTheInteractiveEntry)
{
    Build("D:");
    EXPECT_EQ(1, newDacl->AceCount);
    EXPECT_EQ(0x80000032L, InteractiveMask());
}

TEST_F(InteractiveAccessTest, OtherEntriesStayAndAnExistingInteractiveEntryIsReplaced)
{
    std::string dacl = Build("D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;0xf01ff;;;IU)(A;;CCLCSWLOCRRC;;;BA)");
    EXPECT_EQ(0x80000032L, InteractiveMask()) << dacl;
    EXPECT_EQ(3, newDacl->AceCount) << dacl;
    EXPECT_NE(std::string::npos, dacl.find(";;;SY)")) << dacl;
    EXPECT_NE(std::string::npos, dacl.find(";;;BA)")) << dacl;
    EXPECT_EQ(std::string::npos, dacl.find("0xf01ff;;;IU")) << dacl;
}

TEST_F(InteractiveAccessTest, DescriptorWithoutDaclGetsOneWithOnlyTheInteractiveEntry)
{
    Build("O:SY");
    EXPECT_EQ(1, newDacl->AceCount);
    EXPECT_EQ(0x80000032L, InteractiveMask());
}

TEST_F(InteractiveAccessTest, NothingIsLoggedWhenTheDescriptorIsBuilt)
{
    Build("D:");
    EXPECT_FALSE(FileExists(ServiceSettings.LogPath));
}

} // namespace
