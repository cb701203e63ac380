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

// The log's messages without their time stamps.
std::vector<std::string> LogLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::string text = ReadTextFile(path);
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(text.find("] ", at) + 2, end - text.find("] ", at) - 2));
    return lines;
}

std::string RegistryValue(const std::string &service, const char *name)
{
    char value[512] = "";
    DWORD size = sizeof(value);
    std::string key = "System\\CurrentControlSet\\Services\\" + service;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ | RRF_RT_REG_DWORD, NULL, value, &size))
        return "";
    return strcmp(name, "Type") == 0 ? std::to_string(*(DWORD *)value) : value;
}

// The prefix's user: besides the well-known accounts the only one that
// Wine's LookupAccountNameA knows.
std::string PrefixUser()
{
    char name[256];
    DWORD size = sizeof(name);
    return GetUserNameA(name, &size) ? name : "";
}

const char AccountIni[] = "Pelorin Test Account";
const char AccountError[] = "ERROR installing Pelorin Test Account (PelorinTestAccount) service: ";
const char AccountInstalled[] = "Service Pelorin Test Account (PelorinTestAccount) installed successfully.";

// A scripted install gives the password on standard input. Wine accepts any
// password, so a wrong one is shown in-process below.
TEST(InstallTest, AnAccountsPasswordComesFromStandardInputAndIsKeptNowhere)
{
    const std::string user = PrefixUser(), password = "Pass word 1";
    const std::string granted = "Account '.\\" + user + "' was granted the right to log on as a service.";
    const struct {
        std::string account, input;
        int exitCode;
        std::vector<std::string> lines;
        std::string objectName, type;
    } rows[] = {
        { ".\\" + user, password + "\r\n", 0, { granted, AccountInstalled }, ".\\" + user, "16" },
        { user, password, 0, { granted, AccountInstalled }, ".\\" + user, "16" },
        { "localsystem", "", 0, { AccountInstalled }, "LocalSystem", "272" },
        { ".\\nosuchuser", password, 3, { AccountError + std::string("account '.\\nosuchuser' not found (0x00000534)") }, "", "" },
        { user, "", 4, { AccountError + ("the password for '.\\" + user + "' could not be read (0x00000026)") }, "", "" },
        { user, std::string(257, 'p') + "\n", 4,
          { AccountError + ("the password for '.\\" + user + "' is longer than 256 characters") }, "", "" },
    };
    for (const auto &row : rows) {
        std::string account = "ServiceAccount=" + row.account + "\r\nRestartOnFailure=0\r\n";
        ServiceCopy copy = MakeServiceCopy("PelorinTestAccount", IniFor(AccountIni, account));
        std::string output;
        EXPECT_EQ(row.exitCode, RunProgramWithInput(Quote(copy.exe) + " -i", row.input, &output)) << row.account;
        EXPECT_EQ(row.lines, LogLines(copy.logPath)) << row.account;
        // The console says what the log says, the success in its own words.
        std::string said;
        for (const std::string &line : row.lines)
            said += "\r\n" + (line == AccountInstalled ? "Pelorin Test Account (PelorinTestAccount) service installed successfully."
                                                     : line) + "\r\n";
        EXPECT_EQ(said, output) << row.account;
        EXPECT_EQ(row.objectName, RegistryValue(copy.keyName, "ObjectName")) << row.account;
        EXPECT_EQ(row.type, RegistryValue(copy.keyName, "Type")) << row.account;
        for (const std::string &text : { output, ReadTextFile(copy.logPath), ReadTextFile(copy.folder + "PelorinTestAccount.ini") })
            EXPECT_EQ(std::string::npos, text.find("Pass word")) << row.account;
        RemoveServiceIfPresent(copy.keyName);
    }
}

// Replaces an import for as long as it lives.
struct ImportReplaced {
    const char *dll, *name;
    void *real;
    ImportReplaced(const char *dllName, const char *function, void *replacement)
        : dll(dllName), name(function), real(ReplaceImport(dllName, function, replacement)) {}
    ~ImportReplaced() { ReplaceImport(dll, name, real); }
};

// What Windows could answer where Wine's LSA stores nothing and Wine's
// CreateServiceA checks no password, and what -i asked of them.
struct AccountScript {
    NTSTATUS enumerated;     // 0: holds the rights below
    bool holdsLogonRight;
    NTSTATUS added;
    DWORD createError;
    std::string addedRights, addedSid, startName, password;
    DWORD type;
} Script;
void *RealCreateService;

std::string SidText(PSID sid)
{
    char *text = NULL;
    std::string result = ConvertSidToStringSidA(sid, &text) ? text : "";
    LocalFree(text);
    return result;
}

NTSTATUS NTAPI ScriptedEnumerateAccountRights(LSA_HANDLE, PSID, PLSA_UNICODE_STRING *rights, PULONG count)
{
    static WCHAR batch[] = L"SeBatchLogonRight", service[] = L"SeServiceLogonRight";
    static LSA_UNICODE_STRING held[2] = { { sizeof(batch) - 2, sizeof(batch), batch },
                                          { sizeof(service) - 2, sizeof(service), service } };
    *rights = held;
    *count = Script.holdsLogonRight ? 2 : 1;
    return Script.enumerated;
}

NTSTATUS NTAPI IgnoredLsaFreeMemory(PVOID)
{
    return 0;
}

NTSTATUS NTAPI ScriptedAddAccountRights(LSA_HANDLE, PSID sid, PLSA_UNICODE_STRING rights, ULONG count)
{
    Script.addedSid = SidText(sid);
    for (ULONG i = 0; i < count; i++)
        Script.addedRights += std::string(rights[i].Buffer, rights[i].Buffer + rights[i].Length / 2) + " ";
    return Script.added;
}

SC_HANDLE WINAPI ScriptedCreateService(SC_HANDLE manager, LPCSTR name, LPCSTR display, DWORD access, DWORD type,
                                       DWORD start, DWORD errorControl, LPCSTR path, LPCSTR group, LPDWORD tag,
                                       LPCSTR dependencies, LPCSTR startName, LPCSTR password)
{
    Script.type = type;
    Script.startName = startName ? startName : "(none)";
    Script.password = password ? password : "(none)";
    if (Script.createError != 0) {
        SetLastError(Script.createError);
        return NULL;
    }
    return ((decltype(&CreateServiceA))RealCreateService)(manager, name, display, access, type, start, errorControl,
                                                           path, group, tag, dependencies, startName, password);
}

// The process's own user, which under Wine is the prefix's user.
std::string OwnSid()
{
    HANDLE token = NULL;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD length = 0;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    std::string sid = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &length)
                          ? SidText(((TOKEN_USER *)buffer)->User.Sid) : "";
    CloseHandle(token);
    return sid;
}

TEST(InstallTest, TheLogonRightIsGrantedWhenMissingAndNothingIsInstalledWhenRefused)
{
    const std::string user = ".\\" + PrefixUser();
    const std::string granted = "Account '" + user + "' was granted the right to log on as a service.";
    const std::string error = AccountError;
    const NTSTATUS none = (NTSTATUS)0xC0000034L, denied = (NTSTATUS)0xC0000022L;
    const struct {
        NTSTATUS enumerated;
        bool holds;
        NTSTATUS added;
        DWORD createError;
        int result;
        bool asked;  // for the right
        std::vector<std::string> lines;
    } rows[] = {
        { 0, true, 0, 0, InstallDone, false, {} },
        { 0, false, 0, 0, InstallDone, true, { granted } },
        { none, false, 0, 0, InstallDone, true, { granted } },
        { none, false, denied, 0, InstallGrantRefused, true,
          { error + "account '" + user + "' could not be granted the right to log on as a service (0x00000005)" } },
        { denied, false, 0, 0, InstallGrantRefused, false,
          { error + "account '" + user + "' could not be granted the right to log on as a service (0x00000005)" } },
        { 0, true, 0, ERROR_INVALID_SERVICE_ACCOUNT, InstallFailed, false,
          { error + "invalid account name or password (0x00000421)" } },
    };
    VistaOrLater = 0;
    for (const auto &row : rows) {
        ServiceCopy copy = MakeServiceCopy("PelorinTestAccount",
                                           IniFor(AccountIni, "ServiceAccount=" + user + "\r\nRestartOnFailure=0\r\n"));
        ASSERT_EQ(1, LoadSettingsForProgram(copy.exe.c_str(), 1));
        Script = { row.enumerated, row.holds, row.added, row.createError, "", "", "", "", 0 };
        HANDLE input = NULL, given = NULL;
        ASSERT_TRUE(CreatePipe(&input, &given, NULL, 0));
        DWORD written = 0;
        WriteFile(given, "pw\r\n", 4, &written, NULL);
        CloseHandle(given);
        HANDLE standardInput = GetStdHandle(STD_INPUT_HANDLE);
        SetStdHandle(STD_INPUT_HANDLE, input);
        int result;
        {
            ImportReplaced enumerate("advapi32.dll", "LsaEnumerateAccountRights", (void *)ScriptedEnumerateAccountRights);
            ImportReplaced free("advapi32.dll", "LsaFreeMemory", (void *)IgnoredLsaFreeMemory);
            ImportReplaced add("advapi32.dll", "LsaAddAccountRights", (void *)ScriptedAddAccountRights);
            ImportReplaced create("advapi32.dll", "CreateServiceA", (void *)ScriptedCreateService);
            RealCreateService = create.real;
            result = InstallService();
        }
        SetStdHandle(STD_INPUT_HANDLE, standardInput);
        CloseHandle(input);
        const char *holds = row.holds ? "holds" : "lacks";
        EXPECT_EQ(row.result, result) << holds << row.enumerated;
        EXPECT_EQ(row.lines, LogLines(copy.logPath)) << holds << row.enumerated;
        EXPECT_EQ(row.asked ? "SeServiceLogonRight " : "", Script.addedRights) << holds << row.enumerated;
        EXPECT_EQ(row.asked ? OwnSid() : "", Script.addedSid) << holds << row.enumerated;
        // The password reached CreateServiceA, with the account and without the interactive flag.
        bool created = row.result == InstallDone || row.createError != 0;
        EXPECT_EQ(created ? "pw" : "", Script.password) << holds << row.enumerated;
        EXPECT_EQ(created ? user : "", Script.startName) << holds << row.enumerated;
        EXPECT_EQ(created ? (DWORD)SERVICE_WIN32_OWN_PROCESS : 0u, Script.type) << holds << row.enumerated;
        EXPECT_EQ(row.result == InstallDone, ServiceExists(copy.keyName)) << holds << row.enumerated;
        RemoveServiceIfPresent(copy.keyName);
    }
}

// Refusals as a prompt that is not elevated meets them (Wine's manager
// refuses nothing): they are said as such, with the code.
bool RefuseManager;
DWORD RefusedOpenService;
DWORD OpenServiceAccess;
void *RealOpenSCManager, *RealOpenService;

SC_HANDLE WINAPI ScriptedOpenSCManager(LPCSTR machine, LPCSTR database, DWORD access)
{
    if (!RefuseManager)
        return ((decltype(&OpenSCManagerA))RealOpenSCManager)(machine, database, access);
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

SC_HANDLE WINAPI RecordedOpenService(SC_HANDLE manager, LPCSTR name, DWORD access)
{
    OpenServiceAccess = access;
    if (RefusedOpenService != 0) {
        SetLastError(RefusedOpenService);
        return NULL;
    }
    return ((decltype(&OpenServiceA))RealOpenService)(manager, name, access);
}

TEST(InstallTest, RefusedRightsAreSaidWithTheirCodeAndRemovalAsksOnlyWhatItNeeds)
{
    const std::string refused = "access denied; run it as an administrator (0x00000005)";
    const struct {
        bool install, managerRefused;
        DWORD serviceRefused;
        int result;
        std::string line;
    } rows[] = {
        { true, true, 0, InstallFailed, "ERROR installing Pelorin Test Refused (PelorinTestRefused) service: " + refused },
        { false, true, 0, UninstallFailed, "ERROR uninstalling Pelorin Test Refused (PelorinTestRefused) service: " + refused },
        { false, false, ERROR_ACCESS_DENIED, UninstallFailed,
          "ERROR uninstalling Pelorin Test Refused (PelorinTestRefused) service: " + refused },
        { false, false, 0, UninstallDone, "" },
    };
    for (const auto &row : rows) {
        ServiceCopy copy = MakeServiceCopy("PelorinTestRefused", IniFor("Pelorin Test Refused"));
        ASSERT_EQ(0, RunCopy(copy, "-i", NULL));
        DeleteFileA(copy.logPath.c_str());
        ASSERT_EQ(1, LoadSettingsForProgram(copy.exe.c_str(), 1));
        RefuseManager = row.managerRefused;
        RefusedOpenService = row.serviceRefused;
        OpenServiceAccess = 0;
        int result;
        {
            ImportReplaced open("advapi32.dll", "OpenServiceA", (void *)RecordedOpenService);
            ImportReplaced manager("advapi32.dll", "OpenSCManagerA", (void *)ScriptedOpenSCManager);
            RealOpenService = open.real;
            RealOpenSCManager = manager.real;
            result = row.install ? InstallService() : UninstallService();
        }
        EXPECT_EQ(row.result, result) << row.line;
        EXPECT_EQ(row.line.empty() ? std::vector<std::string>() : std::vector<std::string>{ row.line },
                  LogLines(copy.logPath));
        EXPECT_EQ(row.managerRefused ? 0u : (DWORD)(DELETE | SERVICE_QUERY_STATUS), OpenServiceAccess) << row.line;
        EXPECT_EQ(row.result != UninstallDone, ServiceExists(copy.keyName)) << row.line;
        RemoveServiceIfPresent(copy.keyName);
    }
}

// The console, played in-process: the keys typed and the modes set. Wine's
// console cannot be typed into from a test.
std::wstring Keys;
std::vector<DWORD> ConsoleModes;
const DWORD ConsoleMode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_INSERT_MODE;

BOOL WINAPI PlayedGetConsoleMode(HANDLE, LPDWORD mode)
{
    *mode = ConsoleMode;
    return TRUE;
}

BOOL WINAPI RecordedSetConsoleMode(HANDLE, DWORD mode)
{
    ConsoleModes.push_back(mode);
    return TRUE;
}

BOOL WINAPI PlayedReadConsole(HANDLE, LPVOID buffer, DWORD, LPDWORD read, PVOID)
{
    if (Keys.empty()) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    *(WCHAR *)buffer = Keys[0];
    Keys.erase(0, 1);
    *read = 1;
    return TRUE;
}

TEST(ServiceAccountTest, TheConsoleTakesThePasswordWithoutEchoAndGetsItsModeBack)
{
    const struct {
        std::wstring keys;
        DWORD error;
        std::wstring password;
    } rows[] = {
        { L"se\bcret\r", NO_ERROR, L"scret" },
        { L"\r", NO_ERROR, L"" },
        { L"\x00FC" L"ber\r", NO_ERROR, L"\x00FC" L"ber" },
        { L"abc\x0003", ERROR_CANCELLED, L"" },
        { L"abc", ERROR_OPERATION_ABORTED, L"" },
        // Typing goes on to the Enter key, so that nothing is left for the prompt behind.
        { std::wstring(257, L'x') + L"y\r", ERROR_INSUFFICIENT_BUFFER, L"" },
    };
    for (const auto &row : rows) {
        Keys = row.keys;
        ConsoleModes.clear();
        char password[SERVICE_PASSWORD_MAX + 1] = "unread";
        DWORD error;
        {
            ImportReplaced get("kernel32.dll", "GetConsoleMode", (void *)PlayedGetConsoleMode);
            ImportReplaced set("kernel32.dll", "SetConsoleMode", (void *)RecordedSetConsoleMode);
            ImportReplaced read("kernel32.dll", "ReadConsoleW", (void *)PlayedReadConsole);
            error = ReadServicePassword(".\\vbox", password, sizeof(password));
        }
        EXPECT_EQ(row.error, error) << row.keys.size();
        EXPECT_EQ(L"", Keys) << row.keys.size();
        std::vector<DWORD> modes = { ENABLE_INSERT_MODE, ConsoleMode };
        EXPECT_EQ(modes, ConsoleModes) << row.keys.size();
        // As CreateServiceA will read it: in the ANSI code page.
        WCHAR read[SERVICE_PASSWORD_MAX + 1] = L"";
        MultiByteToWideChar(CP_ACP, 0, password, -1, read, SERVICE_PASSWORD_MAX + 1);
        EXPECT_EQ(row.password, read) << row.keys.size();
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
