#ifndef PELORIN_STANDIN_TEST_FIXTURE_H
#define PELORIN_STANDIN_TEST_FIXTURE_H

// The fixture of the stand-in's own tests: a clean catalogue with the machine
// "Web Server", COM from a single-threaded apartment as pelorin uses it, and
// VBoxHeadless stand-ins started the way the service starts them. Whatever a
// test holds or starts is released and ended when it ends.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "standin.h"
#include "standin_client.h"
#include "test_support.h"

const char WebUuid[] = "8c0bb7ae-52b1-4b5c-9b27-0a8c5e3b2f11";
const char MailUuid[] = "1f3e5c7a-9b2d-4e6f-8a1c-3d5b7f9e2a4c";
const HRESULT ObjectNotFound = (HRESULT)0x80BB0001L;
const HRESULT InvalidVmState = (HRESULT)0x80BB0002L;
const HRESULT InvalidObjectState = (HRESULT)0x80BB0007L;

inline StandinMachine MakeMachine(const char *name, const char *uuid, long state)
{
    StandinMachine machine;
    ZeroMemory(&machine, sizeof(machine));
    lstrcpynA(machine.name, name, sizeof(machine.name));
    lstrcpynA(machine.uuid, uuid, sizeof(machine.uuid));
    machine.state = state;
    machine.vrdeEnabled = 1;
    machine.vrdePort = 3389;
    machine.width = 1024;
    machine.height = 768;
    machine.bitsPerPixel = 32;
    return machine;
}

inline std::string Narrow(BSTR text)
{
    std::string result;
    for (const wchar_t *c = text; c != NULL && *c != L'\0'; c++)
        result += (char)*c;
    return result;
}

class Bstr {
public:
    explicit Bstr(const wchar_t *text) : value(SysAllocString(text)) {}
    Bstr() : value(NULL) {}
    ~Bstr() { SysFreeString(value); }
    BSTR *Out() { return &value; }
    BSTR value;
};

// VirtualBox's objects arrive as IUnknown; a test calls them through the
// interface it names: As(&machine) takes the call's result and asks it for
// that interface once the call has returned.
template <class Interface>
class TypedResult {
public:
    explicit TypedResult(Interface **typed) : target(typed) { *typed = NULL; }
    ~TypedResult()
    {
        if (result != NULL) {
            result->QueryInterface(__uuidof(Interface), (void **)target);
            result->Release();
        }
    }
    operator IUnknown **() { return &result; }

private:
    Interface **target;
    IUnknown *result = NULL;
};

template <class Interface>
TypedResult<Interface> As(Interface **typed)
{
    return TypedResult<Interface>(typed);
}

class StandinTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(1, StandinReset());
        StandinMachine web = MakeMachine("Web Server", WebUuid, 1);
        ASSERT_EQ(1, StandinPutMachine(&web));
    }
    void TearDown() override
    {
        for (IUnknown *held : references)
            held->Release();
        // Ends every VBoxHeadless that is still attached: none may outlive the test.
        EXPECT_EQ(1, StandinReset());
        for (PROCESS_INFORMATION &process : headless) {
            WaitForSingleObject(process.hProcess, 10000);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        CoUninitialize();
    }

    template <class T>
    T *Hold(T *object)
    {
        if (object != NULL)
            references.push_back(object);
        return object;
    }

    IVirtualBox *Connect()
    {
        IVirtualBox *virtualBox = NULL;
        HRESULT result = CoCreateInstance(CLSID_VirtualBox, NULL, CLSCTX_LOCAL_SERVER, IID_IVirtualBox, (void **)&virtualBox);
        EXPECT_EQ(S_OK, result);
        return Hold(virtualBox);
    }

    ISession *NewSession()
    {
        ISession *session = NULL;
        HRESULT result = CoCreateInstance(CLSID_Session, NULL, CLSCTX_INPROC_SERVER, IID_ISession, (void **)&session);
        EXPECT_EQ(S_OK, result);
        return Hold(session);
    }

    IMachine *Find(IVirtualBox *virtualBox, const wchar_t *name)
    {
        Bstr wanted(name);
        IMachine *machine = NULL;
        EXPECT_EQ(S_OK, virtualBox->FindMachine(wanted.value, As(&machine)));
        return Hold(machine);
    }

    // Starts a VBoxHeadless stand-in as the service does: the unquoted path of
    // the program, no window, the given priority class.
    PROCESS_INFORMATION StartHeadless(const std::string &arguments, DWORD flags = CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS)
    {
        std::string commandLine = StandinHeadlessPath() + " " + arguments;
        STARTUPINFOA startup;
        ZeroMemory(&startup, sizeof(startup));
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process;
        ZeroMemory(&process, sizeof(process));
        std::vector<char> line(commandLine.begin(), commandLine.end());
        line.push_back('\0');
        EXPECT_TRUE(CreateProcessA(NULL, line.data(), NULL, NULL, FALSE, flags, NULL, NULL, &startup, &process));
        if (process.hProcess != NULL)
            headless.push_back(process);
        return process;
    }

    // Starts the machine's VBoxHeadless and waits until the server has it
    // attached (it writes the Running state, whatever its number, before the pid).
    PROCESS_INFORMATION StartMachine(const char *name, const char *uuid)
    {
        PROCESS_INFORMATION process = StartHeadless(std::string("-s \"") + uuid + "\" -v config");
        StandinMachine machine;
        for (int i = 0; i < 200; i++) {
            if (StandinGetMachine(name, &machine) && machine.sessionPid == process.dwProcessId)
                break;
            if (WaitForSingleObject(process.hProcess, 25) == WAIT_OBJECT_0)
                break;
        }
        return process;
    }

    // The console of a running machine through a shared lock.
    IConsole *LockConsole(IMachine *machine, ISession *session)
    {
        EXPECT_EQ(S_OK, machine->LockMachine(session, 1));
        IConsole *console = NULL;
        EXPECT_EQ(S_OK, session->get_Console(As(&console)));
        return Hold(console);
    }

    std::vector<std::string> Journal()
    {
        std::vector<std::string> entries;
        EXPECT_EQ(1, StandinReadJournal(&entries));
        return entries;
    }

    long StateOf(const char *name)
    {
        StandinMachine machine;
        return StandinGetMachine(name, &machine) ? machine.state : -1;
    }

    // The machine once the server has seen its process end: the session pid
    // goes then, and the state it leaves is final.
    StandinMachine AfterItsProcess(const char *name)
    {
        StandinMachine machine = {};
        for (int i = 0; i < 400 && StandinGetMachine(name, &machine) && machine.sessionPid != 0; i++)
            Sleep(25);
        return machine;
    }

    std::vector<IUnknown *> references;
    std::vector<PROCESS_INFORMATION> headless;
};

inline int IndexOf(const std::vector<std::string> &entries, const std::string &entry)
{
    for (size_t i = 0; i < entries.size(); i++) {
        if (entries[i] == entry)
            return (int)i;
    }
    return -1;
}

inline std::string Joined(const std::vector<std::string> &entries)
{
    std::string text;
    for (const std::string &entry : entries)
        text += entry + "\n";
    return text;
}

inline DWORD ExitCodeOf(const PROCESS_INFORMATION &process)
{
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    return exitCode;
}

#endif
