#include "test_support.h"

#include <ctype.h>
#include <process.h>
#include <sddl.h>
#include <stdio.h>
#include <tlhelp32.h>

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

std::string MakeTestFolder(const std::string &name)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    std::string root = std::string(temp) + "pelorin tests\\";
    CreateDirectoryA(root.c_str(), NULL);
    std::string folder = root + name + "\\";
    RemoveTree(folder);
    CreateDirectoryA(folder.c_str(), NULL);
    return folder;
}

void RemoveTree(const std::string &path)
{
    std::string folder = path;
    if (!folder.empty() && folder.back() == '\\')
        folder.pop_back();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string child = folder + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

void WriteTextFile(const std::string &path, const std::string &text)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (file == NULL)
        return;
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
}

std::vector<std::string> JoinLines(std::vector<std::string> first, const std::vector<std::string> &second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::vector<std::string> MalformedLogLines(const std::string &text)
{
    std::vector<std::string> malformed;
    const char pattern[] = "[00/00/00 00:00:00] ";
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        bool formed = end != std::string::npos && line.size() > sizeof(pattern) && line.back() == '\r';
        for (size_t i = 0; formed && i + 1 < sizeof(pattern); i++)
            formed = pattern[i] == '0' ? isdigit((unsigned char)line[i]) != 0 : line[i] == pattern[i];
        if (!formed)
            malformed.push_back(line);
    }
    return malformed;
}

std::string ReadTextFile(const std::string &path)
{
    std::string text;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == NULL)
        return text;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof(buffer), file)) > 0)
        text.append(buffer, count);
    fclose(file);
    return text;
}

bool FileExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string BuiltProgramPath(const std::string &fileName)
{
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof(self));
    std::string path = self;
    return path.substr(0, path.rfind('\\') + 1) + fileName;
}

std::string CopyBuiltProgram(const std::string &builtName, const std::string &folder, const std::string &newName)
{
    std::string target = folder + newName;
    CopyFileA(BuiltProgramPath(builtName).c_str(), target.c_str(), FALSE);
    return target;
}

namespace {

struct ThreadStart {
    void(__cdecl *procedure)(void *);
    void *argument;
};

unsigned __stdcall RunThreadStart(void *start)
{
    ThreadStart copy = *(ThreadStart *)start;
    delete (ThreadStart *)start;
    copy.procedure(copy.argument);
    return 0;
}

}  // namespace

HANDLE StartJoinableThread(void(__cdecl *procedure)(void *), void *argument)
{
    ThreadStart *start = new ThreadStart{ procedure, argument };
    HANDLE thread = (HANDLE)_beginthreadex(NULL, 0, RunThreadStart, start, 0, NULL);
    if (thread == NULL)
        delete start;
    return thread;
}

std::string Quote(const std::string &text)
{
    return "\"" + text + "\"";
}

static int RunProgramWith(const std::string &commandLine, HANDLE input, std::string *output, DWORD timeoutMs)
{
    SECURITY_ATTRIBUTES inherit = { sizeof(inherit), NULL, TRUE };
    HANDLE readEnd = NULL;
    HANDLE writeEnd = NULL;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return -1;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process;
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    BOOL started = CreateProcessA(NULL, line.data(), NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return -1;
    }

    std::string collected;
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &count, NULL) && count > 0)
        collected.append(buffer, count);
    CloseHandle(readEnd);

    DWORD exitCode = (DWORD)-1;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (output != NULL)
        *output = collected;
    return (int)exitCode;
}

int RunProgram(const std::string &commandLine, std::string *output, DWORD timeoutMs)
{
    return RunProgramWith(commandLine, GetStdHandle(STD_INPUT_HANDLE), output, timeoutMs);
}

int RunProgramWithInput(const std::string &commandLine, const std::string &input, std::string *output)
{
    SECURITY_ATTRIBUTES inherit = { sizeof(inherit), NULL, TRUE };
    HANDLE readEnd = NULL;
    HANDLE writeEnd = NULL;
    DWORD written = 0;
    // The pipe's buffer holds the whole input: the program reads it after it has been closed.
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, (DWORD)input.size() + 1))
        return -1;
    SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
    BOOL wrote = input.empty() || WriteFile(writeEnd, input.data(), (DWORD)input.size(), &written, NULL);
    CloseHandle(writeEnd);
    int exitCode = wrote ? RunProgramWith(commandLine, readEnd, output, 60000) : -1;
    CloseHandle(readEnd);
    return exitCode;
}

bool StartProgram(const std::string &commandLine, PROCESS_INFORMATION *process)
{
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    return CreateProcessA(NULL, line.data(), NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &startup, process) != FALSE;
}

bool RunMessageLoopUntilQuit(DWORD timeoutMs)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs;) {
        MSG message;
        if (!PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
            MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
        else if (message.message == WM_QUIT)
            return true;
        else
            DispatchMessageA(&message);
    }
    return false;
}

bool ServiceExists(const std::string &name)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL)
        return false;
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS);
    bool exists = service != NULL;
    if (service != NULL)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return exists;
}

void RemoveServiceIfPresent(const std::string &name)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL)
        return;
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (service != NULL) {
        SERVICE_STATUS status;
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    for (int i = 0; i < 100 && ServiceExists(name); i++)
        Sleep(100);
}

// When the process was created, 0 when it cannot be read.
static ULONGLONG CreationTimeOf(HANDLE process)
{
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user))
        return 0;
    return ((ULONGLONG)creation.dwHighDateTime << 32) | creation.dwLowDateTime;
}

static ULONGLONG CreationTime(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == NULL)
        return 0;
    ULONGLONG created = CreationTimeOf(process);
    CloseHandle(process);
    return created;
}

int EndChildProcesses(void)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    std::vector<PROCESSENTRY32> processes;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        processes.push_back(entry);
    CloseHandle(snapshot);
    std::vector<ULONGLONG> created;
    for (const PROCESSENTRY32 &process : processes)
        created.push_back(CreationTime(process.th32ProcessID));
    ULONGLONG ownCreation = CreationTime(GetCurrentProcessId());

    // Ours: our children and theirs. Wine reuses process ids, and a process
    // keeps naming a parent long gone: a test given the id that services.exe
    // names as its parent would take every service started since for its
    // own. So a child counts only when it is younger than the process that
    // holds its parent's id now.
    // Wine gives a console program started without a console a conhost.exe
    // of its own, and when the program is killed early that conhost can stay
    // for good, holding our output: an orphaned conhost started since us
    // counts as ours too.
    std::vector<size_t> ours;
    std::vector<DWORD> ourIds(1, GetCurrentProcessId());
    std::vector<ULONGLONG> ourCreation(1, ownCreation);
    for (size_t added = 1; added > 0;) {
        added = 0;
        for (size_t i = 0; i < processes.size(); i++) {
            const PROCESSENTRY32 &process = processes[i];
            if (created[i] == 0 || std::find(ourIds.begin(), ourIds.end(), process.th32ProcessID) != ourIds.end())
                continue;
            size_t parent = std::find(ourIds.begin(), ourIds.end(), process.th32ParentProcessID) - ourIds.begin();
            bool childOfOurs = parent < ourIds.size() && created[i] >= ourCreation[parent];
            bool parentGone = std::none_of(processes.begin(), processes.end(), [&](const PROCESSENTRY32 &other) {
                return other.th32ProcessID == process.th32ParentProcessID;
            });
            bool orphanedConsole = parentGone && created[i] >= ownCreation && _stricmp(process.szExeFile, "conhost.exe") == 0;
            if (childOfOurs || orphanedConsole) {
                ours.push_back(i);
                ourIds.push_back(process.th32ProcessID);
                ourCreation.push_back(created[i]);
                added++;
            }
        }
    }

    int ended = 0;
    for (size_t i : ours) {
        const PROCESSENTRY32 &process = processes[i];
        HANDLE handle = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                    process.th32ProcessID);
        if (handle == NULL)
            continue;
        // Still the process seen above, not a newer one given its id.
        if (CreationTimeOf(handle) == created[i] && WaitForSingleObject(handle, 0) == WAIT_TIMEOUT) {
            fprintf(stderr, "warning: ending %s (pid %lu), left running by the test\n", process.szExeFile,
                    process.th32ProcessID);
            TerminateProcess(handle, 1);
            WaitForSingleObject(handle, 10000);
            ended++;
        }
        CloseHandle(handle);
    }
    return ended;
}

namespace {

// A Windows child that outlives its test holds CTest's output pipe open and
// turns a pass into a time-out: whatever a test left running ends with it.
struct ChildProcessReaper : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo &) override { EndChildProcesses(); }
};

int AddChildProcessReaper(void)
{
    ::testing::UnitTest::GetInstance()->listeners().Append(new ChildProcessReaper);
    return 1;
}

int ChildProcessReaperAdded = AddChildProcessReaper();

}  // namespace

std::vector<std::string> LogMessagesOf(const std::string &path)
{
    std::vector<std::string> messages;
    std::string text = ReadTextFile(path);
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        size_t stampEnd = text.find("] ", start);
        messages.push_back(stampEnd < end ? text.substr(stampEnd + 2, end - stampEnd - 2) : text.substr(start, end - start));
    }
    return messages;
}

std::string ProcessUserSid(void)
{
    HANDLE token = NULL;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer;
    DWORD length = 0;
    char *text = NULL;
    std::string sid;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        if (GetTokenInformation(token, TokenUser, &buffer, sizeof(buffer), &length)
            && ConvertSidToStringSidA(buffer.user.User.Sid, &text))
            sid = text;
        CloseHandle(token);
    }
    LocalFree(text);
    return sid;
}
