// standinctl: the stand-in's test-side API from a command line, for scripts
// (the CTest fixture, the demo). Exit codes: 0 done, 1 failed, 2 usage.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "standin.h"
#include "standin_client.h"

namespace {

const char Usage[] =
    "usage: standinctl COMMAND ...\n"
    "  wait [MS]                       wait for the server to answer (default 20000)\n"
    "  running                         exit code 0 when a server answers\n"
    "  shutdown                        end the server cleanly\n"
    "  restart                         end the server cleanly and start a fresh one\n"
    "  activate                        start a server by COM activation, ask its version,\n"
    "                                  and wait until it has ended by itself when idle\n"
    "  connect COUNT                   activate the running server COUNT times in a row,\n"
    "                                  asking its version each time (exit 1 on a failure)\n"
    "  idle-timeout MS                 idle time-out of servers started by activation\n"
    "  reset                           forget machines, faults, delays, behaviours, journal\n"
    "  generation WORD                 4.0, 5.2, 6.1, 7.0, 7.1, 7.2 or none\n"
    "  server-info VERSION HOMEFOLDER\n"
    "  put-machine NAME UUID [state=N] [pid=N] [vrde=0|1] [port=N] [width=N] [height=N] [bpp=N] [sleep=0|1]\n"
    "                                  port=-1: its server not started; sleep=1: it offers S1/S4\n"
    "  get-machine NAME\n"
    "  fault METHOD HRESULT            e.g. fault IMachine::LockMachine 0x80004005; 0 clears\n"
    "  delay OPERATION MS              PowerDown, SaveState, PowerButton, SleepButton; -1 never\n"
    "  outcome INTERFACE::METHOD HRESULT  the ResultCode of the progress that IConsole::PowerDown,\n"
    "                                  IConsole::SaveState or IMachine::SaveState hands out; 0 clears\n"
    "  guest NAME normal|ignores-acpi|no-acpi|sleeps|crashes\n"
    "  headless-ends NAME savestate|poweroff   its VBoxHeadless ends the machine by itself now\n"
    "  headless NAME normal|crash|fail|hang [EXITCODE]\n"
    "  mismatch INTERFACE {IID}|none   that interface's objects answer IID instead of\n"
    "                                  their generation's identifier; none: theirs again\n"
    "  journal                         print the journal\n";

int Done(int succeeded)
{
    return succeeded ? 0 : 1;
}

int SetMachineField(StandinMachine *machine, const char *assignment)
{
    const char *equals = strchr(assignment, '=');
    if (equals == NULL)
        return 0;
    std::string key(assignment, equals - assignment);
    long value = strtol(equals + 1, NULL, 0);
    if (key == "state")
        machine->state = value;
    else if (key == "pid")
        machine->sessionPid = (unsigned long)value;
    else if (key == "vrde")
        machine->vrdeEnabled = value;
    else if (key == "port")
        machine->vrdePort = value;
    else if (key == "width")
        machine->width = (unsigned long)value;
    else if (key == "height")
        machine->height = (unsigned long)value;
    else if (key == "bpp")
        machine->bitsPerPixel = (unsigned long)value;
    else if (key == "sleep")
        machine->sleepStates = value;
    else
        return 0;
    return 1;
}

int PutMachine(int count, char **arguments)
{
    StandinMachine machine;
    memset(&machine, 0, sizeof(machine));
    if (count < 2 || strlen(arguments[0]) >= sizeof(machine.name) || strlen(arguments[1]) >= sizeof(machine.uuid))
        return 2;
    strcpy(machine.name, arguments[0]);
    strcpy(machine.uuid, arguments[1]);
    machine.state = 1;
    for (int i = 2; i < count; i++) {
        if (!SetMachineField(&machine, arguments[i]))
            return 2;
    }
    return Done(StandinPutMachine(&machine));
}

int GetMachine(const char *name)
{
    StandinMachine machine;
    if (!StandinGetMachine(name, &machine))
        return 1;
    printf("name=%s\nuuid=%s\nstate=%ld\npid=%lu\nvrde=%ld\nport=%ld\nwidth=%lu\nheight=%lu\nbpp=%lu\nsleep=%ld\n",
           machine.name, machine.uuid, machine.state, machine.sessionPid, machine.vrdeEnabled, machine.vrdePort,
           machine.width, machine.height, machine.bitsPerPixel, machine.sleepStates);
    return 0;
}

int PrintJournal(void)
{
    std::vector<std::string> entries;
    if (!StandinReadJournal(&entries))
        return 1;
    for (const std::string &entry : entries)
        printf("%s\n", entry.c_str());
    return 0;
}

// The way pelorin reaches VirtualBox: activation starts a server when none
// runs. Such a server must end by itself, cleanly, once idle.
int ActivateAndWaitForIdleEnd(void)
{
    if (StandinServerRunning()) {
        fputs("a server is already running\n", stderr);
        return 1;
    }
    CoInitializeEx(NULL, COINIT_MULTITHREADED);
    IVirtualBox *virtualBox = NULL;
    HRESULT result = CoCreateInstance(CLSID_VirtualBox, NULL, CLSCTX_LOCAL_SERVER, IID_IVirtualBox, (void **)&virtualBox);
    HANDLE server = NULL;
    if (SUCCEEDED(result)) {
        BSTR version = NULL;
        result = virtualBox->get_Version(&version);
        if (SUCCEEDED(result))
            printf("version %ls\n", version);
        SysFreeString(version);
        virtualBox->Release();
        DWORD pid = StandinServerPid();
        if (pid != 0)
            server = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    }
    CoUninitialize();
    if (FAILED(result) || server == NULL) {
        fprintf(stderr, "activation failed: 0x%08lx\n", (unsigned long)result);
        if (server != NULL)
            CloseHandle(server);
        return 1;
    }
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(server, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(server, &exitCode);
    CloseHandle(server);
    printf("server ended with exit code %lu\n", exitCode);
    return exitCode == 0 ? 0 : 1;
}

// Connections as the service makes them, back to back: several of these at
// once are how the tests load the server's activation path.
int ConnectRepeatedly(unsigned long count)
{
    HRESULT result = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    if (FAILED(result)) {
        fprintf(stderr, "COM could not be initialized: 0x%08lx\n", (unsigned long)result);
        return Done(0);
    }
    const char *step = "";
    unsigned long i = 0;
    DWORD began = 0;
    for (; i < count && SUCCEEDED(result); i++) {
        began = GetTickCount();
        IVirtualBox *virtualBox = NULL;
        step = "CoCreateInstance";
        result = CoCreateInstance(CLSID_VirtualBox, NULL, CLSCTX_LOCAL_SERVER, IID_IVirtualBox, (void **)&virtualBox);
        if (SUCCEEDED(result)) {
            BSTR version = NULL;
            step = "get_Version";
            result = virtualBox->get_Version(&version);
            SysFreeString(version);
            virtualBox->Release();
        }
    }
    CoUninitialize();
    if (FAILED(result))
        fprintf(stderr, "connection %lu failed at %s after %lu ms: 0x%08lx\n", i, step,
                (unsigned long)(GetTickCount() - began), (unsigned long)result);
    return Done(SUCCEEDED(result));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fputs(Usage, stderr);
        return 2;
    }
    std::string command = argv[1];
    int count = argc - 2;
    char **arguments = argv + 2;
    if (command == "wait" && count <= 1)
        return Done(StandinWaitForServer(count == 1 ? strtoul(arguments[0], NULL, 10) : 20000));
    if (command == "running" && count == 0)
        return Done(StandinServerRunning());
    if (command == "shutdown" && count == 0)
        return Done(StandinShutdownServer());
    if (command == "restart" && count == 0)
        return Done(StandinRestartServer());
    if (command == "activate" && count == 0)
        return ActivateAndWaitForIdleEnd();
    if (command == "connect" && count == 1)
        return ConnectRepeatedly(strtoul(arguments[0], NULL, 10));
    if (command == "idle-timeout" && count == 1)
        return Done(StandinSetIdleTimeout(strtoul(arguments[0], NULL, 10)));
    if (command == "reset" && count == 0)
        return Done(StandinReset());
    if (command == "generation" && count == 1)
        return Done(StandinSetGeneration(arguments[0]));
    if (command == "server-info" && count == 2)
        return Done(StandinSetServerInfo(arguments[0], arguments[1]));
    if (command == "put-machine") {
        int result = PutMachine(count, arguments);
        if (result != 2)
            return result;
    }
    if (command == "get-machine" && count == 1)
        return GetMachine(arguments[0]);
    if (command == "fault" && count == 2)
        return Done(StandinSetFault(arguments[0], (long)strtoul(arguments[1], NULL, 0)));
    if (command == "delay" && count == 2)
        return Done(StandinSetDelay(arguments[0], strtol(arguments[1], NULL, 0)));
    if (command == "outcome" && count == 2)
        return Done(StandinSetOutcome(arguments[0], (long)strtoul(arguments[1], NULL, 0)));
    if (command == "guest" && count == 2)
        return Done(StandinSetGuest(arguments[0], arguments[1]));
    if (command == "headless-ends" && count == 2)
        return Done(StandinHeadlessEnds(arguments[0], arguments[1]));
    if (command == "headless" && (count == 2 || count == 3))
        return Done(StandinSetHeadlessBehaviour(arguments[0], arguments[1], count == 3 ? strtoul(arguments[2], NULL, 0) : 0));
    if (command == "mismatch" && count == 2)
        return Done(StandinSetMismatch(arguments[0], strcmp(arguments[1], "none") == 0 ? NULL : arguments[1]));
    if (command == "journal" && count == 0)
        return PrintJournal();
    fputs(Usage, stderr);
    return 2;
}
