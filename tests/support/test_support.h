#ifndef PELORIN_TEST_SUPPORT_H
#define PELORIN_TEST_SUPPORT_H

#include <windows.h>
#include <string>
#include <vector>

// A fresh, empty folder "%TEMP%\pelorin tests\<name>\" (the blank is deliberate:
// paths with blanks must work everywhere). Returned with a trailing backslash.
std::string MakeTestFolder(const std::string &name);
void RemoveTree(const std::string &path);

void WriteTextFile(const std::string &path, const std::string &text);
// The lines of the first, then those of the second.
std::vector<std::string> JoinLines(std::vector<std::string> first, const std::vector<std::string> &second);
// The lines of a service log that are not "[MM/DD/YY HH:MM:SS] message" with a CRLF line end.
std::vector<std::string> MalformedLogLines(const std::string &text);
std::string ReadTextFile(const std::string &path);   // bytes as stored; "" if missing
// The messages of a service log, without their time stamps.
std::vector<std::string> LogMessagesOf(const std::string &path);
// The user that this process runs as, as a SID string (S-1-5-...).
std::string ProcessUserSid(void);
bool FileExists(const std::string &path);

// A program built beside the test programs (bin folder of the build).
std::string BuiltProgramPath(const std::string &fileName);
// Copies a built program into a folder under another name; returns the new path.
std::string CopyBuiltProgram(const std::string &builtName, const std::string &folder, const std::string &newName);

// Runs a command line, collecting standard output and error; returns the exit
// code, or -1 if it could not be started or did not end within the time-out.
int RunProgram(const std::string &commandLine, std::string *output, DWORD timeoutMs = 60000);
// The same with the given bytes as its standard input, ended after them.
int RunProgramWithInput(const std::string &commandLine, const std::string &input, std::string *output);
std::string Quote(const std::string &text);
// Starts a command line without a window and without waiting; the caller closes both handles.
bool StartProgram(const std::string &commandLine, PROCESS_INFORMATION *process);

// Ends, by handle, every process that this program started, directly or
// through its children, and that still runs, and every orphaned conhost.exe
// started since (each test does so when it ends); returns how many there were.
int EndChildProcesses(void);

// Runs a thread procedure of the programs (a _beginthread one) on a new
// thread that can be waited for; the caller closes the handle.
HANDLE StartJoinableThread(void(__cdecl *procedure)(void *), void *argument = NULL);

// A message loop like a program's: dispatches everything until WM_QUIT
// arrives (true) or the time runs out (false).
bool RunMessageLoopUntilQuit(DWORD timeoutMs = 10000);

// Removes a service left over by an earlier run; waits until it is gone.
void RemoveServiceIfPresent(const std::string &name);
bool ServiceExists(const std::string &name);

#endif
