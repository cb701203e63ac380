// Prints what the service's VirtualBox calls cost through the stand-in, as
// medians over repeated runs, beside the floors they cannot beat. Not a test:
// the figures depend on the machine and on Wine.
#include <windows.h>
#include <stdio.h>

#include "bench_support.h"
#include "settings.h"
#include "standin_client.h"
#include "supervisor.h"
#include "test_support.h"
#include "vbox40_declarations.h"
#include "vbox_session.h"
#include "vm_start.h"

static const char BenchVmName[] = "Bench VM";

static void PutBenchMachine(void)
{
    StandinMachine machine = {};
    strcpy(machine.name, BenchVmName);
    strcpy(machine.uuid, "0b7e2b4e-6a0c-4f7e-8a54-3c1f2d9e8b10");
    machine.state = MachineStatePoweredOff;
    StandinPutMachine(&machine);
}

static long BenchMachineState(void)
{
    StandinMachine machine = {};
    StandinGetMachine(BenchVmName, &machine);
    return machine.state;
}

static void EndHeadless(void)
{
    if (VmExitWait != NULL)
        UnregisterWaitEx(VmExitWait, INVALID_HANDLE_VALUE);
    VmExitWait = NULL;
    if (VmProcess.hProcess != NULL) {
        TerminateProcess(VmProcess.hProcess, 0);
        WaitForSingleObject(VmProcess.hProcess, 10000);
        CloseHandle(VmProcess.hProcess);
        CloseHandle(VmProcess.hThread);
    }
    ZeroMemory(&VmProcess, sizeof(VmProcess));
}

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 50;
    if (runs < 3)
        runs = 3;

    std::string folder = MakeTestFolder("vbox bench");
    std::string install = folder + "VirtualBox";
    CreateDirectoryA(install.c_str(), NULL);
    CopyFileA(StandinHeadlessPath().c_str(), (install + "\\VBoxHeadless.exe").c_str(), FALSE);
    ServiceSettings.Loglevel = 1;
    strcpy(ServiceSettings.LogPath, (folder + "bench.log").c_str());
    strcpy(ServiceSettings.IniPath, (folder + "bench.ini").c_str());
    strcpy(ServiceSettings.VboxInstallPath, install.c_str());
    ServiceSettings.PriorityClass = NORMAL_PRIORITY_CLASS;
    VmExitedEvent = CreateEventA(NULL, FALSE, FALSE, NULL);

    StandinReset();
    PutBenchMachine();
    printf("VirtualBox calls through the stand-in (Wine, this machine):\n");

    Measure("connect, server not running", 3,
            [] {
                IVirtualBox *virtualBox = NULL;
                ConnectVirtualBox(&virtualBox);
                DisconnectVirtualBox(&virtualBox);
            },
            [] { StandinShutdownServer(); });
    StandinReset();
    PutBenchMachine();

    CoInitialize(NULL);
    Measure("floor: bare CoCreateInstance of the server", runs, [] {
        IUnknown *object = NULL;
        if (SUCCEEDED(CoCreateInstance(ClsidVirtualBox, NULL, CLSCTX_LOCAL_SERVER, IID_IUnknown, (void **)&object)))
            object->Release();
    });
    Measure("connect, server running (warm)", runs, [] {
        IVirtualBox *virtualBox = NULL;
        ConnectVirtualBox(&virtualBox);
        DisconnectVirtualBox(&virtualBox);
    });

    OpenVirtualBox();
    Measure("floor: one cross-process call (get_Version)", runs, [] {
        BSTR version = NULL;
        CallVbox(ServiceVirtualBox, VirtualBoxGetVersion, &version);
        SysFreeString(version);
    });
    Measure("FindMachine + get_State", runs, [] {
        IMachine *machine = NULL;
        if (FindMachine(ServiceVirtualBox, BenchVmName, &machine)) {
            ULONG state = 0;
            CallVbox(machine, MachineGetState, &state);
            machine->Release();
        }
    });

    // The identifier check on every object VirtualBox hands out: one
    // QueryInterface. Objects arrive as their declared interface (the
    // stand-in's as VirtualBox's), so the proxy answers the check itself; only
    // an object of another identifier takes a call to the server.
    static BSTR benchName = SysAllocString(L"Bench VM");
    Measure("FindMachine alone, no check (by position)", runs, [] {
        typedef HRESULT(STDMETHODCALLTYPE * Find)(IUnknown *, BSTR, IUnknown **);
        IUnknown *found = NULL;
        void **table = *(void ***)ServiceVirtualBox;
        if (SUCCEEDED(((Find)table[VboxApi->positions[VirtualBoxFindMachine]])(ServiceVirtualBox, benchName, &found)))
            found->Release();
    });
    Measure("FindMachine with the check (as the service calls it)", runs, [] {
        IUnknown *found = NULL;
        if (SUCCEEDED(CallVbox(ServiceVirtualBox, VirtualBoxFindMachine, benchName, &found)))
            found->Release();
    });
    IMachine *machine = NULL;
    FindMachine(ServiceVirtualBox, BenchVmName, &machine);
    Measure("the check answered by the proxy (an object that came typed)", runs * 100, [machine] {
        IUnknown *checked = NULL;
        HRESULT result = S_OK;
        if (machine != NULL && CheckVboxInterface(machine, VboxIMachine, &checked, &result))
            checked->Release();
    });
    if (machine != NULL && StartVm(BenchVmName)) {
        while (BenchMachineState() != MachineStateRunning)
            Sleep(5);
        Measure("LockMachine + get_Console + UnlockMachine", runs, [machine] {
            IConsole *console = NULL;
            if (SUCCEEDED(CallVbox(machine, MachineLockMachine, ServiceSession, LockTypeShared))) {
                if (SUCCEEDED(CallVbox(ServiceSession, SessionGetConsole, &console)))
                    console->Release();
                CallVbox(ServiceSession, SessionUnlockMachine);
            }
        });
    }
    EndHeadless();
    if (machine != NULL)
        machine->Release();

    Measure("StartVm until VBoxHeadless has attached", runs < 10 ? runs : 10,
            [] {
                if (StartVm(BenchVmName)) {
                    while (BenchMachineState() != MachineStateRunning)
                        Sleep(1);
                }
            },
            [] {
                EndHeadless();
                PutBenchMachine();
            });
    EndHeadless();
    CloseVirtualBox();
    CoUninitialize();
    return 0;
}
