#ifndef PELORIN_VBOX_API_H
#define PELORIN_VBOX_API_H

// The part of VirtualBox's COM API that the service calls, for every API
// generation it knows. Each VirtualBox generation gives its interfaces new
// identifiers and moves the methods to new positions in their tables, so the
// service holds one description per generation, chooses one when it connects
// (the one whose IVirtualBox identifier the VirtualBox object answers) and
// calls every method by its position in that description. A release may
// change one interface and not IVirtualBox, so every object VirtualBox hands
// out is asked for the generation's identifier of its interface before it is
// called by position (CallVbox does it for every object it hands back).

#include <windows.h>
#include <oaidl.h>

// Interface pointers as VirtualBox hands them out. Only IUnknown's methods
// are called directly; everything else goes through CallVbox.
typedef IUnknown IVirtualBox;
typedef IUnknown IMachine;
typedef IUnknown ISession;
typedef IUnknown IConsole;
typedef IUnknown IProgress;
typedef IUnknown IVRDEServer;
typedef IUnknown IVRDEServerInfo;
typedef IUnknown IDisplay;

// The same in every generation.
extern const CLSID ClsidVirtualBox;
extern const CLSID ClsidSession;

// The one VirtualBox result the service tells apart: FindMachine's "not registered".
#define VBOX_E_OBJECT_NOT_FOUND ((HRESULT)0x80BB0001L)

// The interfaces the service calls, whose identifiers each generation names.
enum VboxInterface {
    VboxIVirtualBox,
    VboxISession,
    VboxIMachine,
    VboxIConsole,
    VboxIProgress,
    VboxIDisplay,
    VboxIVRDEServer,
    VboxIVRDEServerInfo,
    VboxInterfaceCount
};

// "IVirtualBox", "ISession", ... in the order of VboxInterface.
extern const char *const VboxInterfaceNames[VboxInterfaceCount];

enum LockType {
    LockTypeShared = 1
};

// Every method the service calls, whatever generation holds it where.
enum VboxMethod {
    VirtualBoxGetVersion,
    VirtualBoxGetHomeFolder,
    VirtualBoxFindMachine,
    MachineGetId,
    MachineGetVrdeServer,
    MachineGetSessionPid,
    MachineGetState,
    MachineLockMachine,
    MachineSaveState,
    SessionGetMachine,
    SessionGetConsole,
    SessionUnlockMachine,
    ConsoleGetDisplay,
    ConsoleGetVrdeServerInfo,
    ConsolePowerDown,
    ConsolePowerButton,
    ConsoleSleepButton,
    ConsoleSaveState,
    ConsoleGetGuestEnteredAcpiMode,
    ProgressGetCompleted,
    ProgressGetResultCode,
    ProgressWaitForCompletion,
    VrdeServerGetEnabled,
    VrdeServerInfoGetPort,
    DisplayGetScreenResolution,
    VboxMethodCount
};

// The machine states the service decides on. Their numbers differ between
// generations (7.0 added AbortedSaved and moved the running states up by one).
enum VboxState {
    VmStatePoweredOff,
    VmStateSaved,
    VmStateAborted,
    VmStateAbortedSaved,
    VmStateRunning,
    VmStatePaused,
    VmStateStuck,
    VmStateStarting,
    VmStateStopping,
    VmStateSaving,
    VmStateRestoring,
    VboxStateCount
};

// A state number that no machine of the generation has.
#define VBOX_NO_STATE 0xFFFFFFFFu

// Which object saves a machine's state.
enum SaveStateHolder {
    SaveStateOnConsole,        // IConsole::SaveState
    SaveStateOnSessionMachine  // IMachine::SaveState on ISession::get_Machine
};

struct VboxGeneration {
    const char *name;
    IID iids[VboxInterfaceCount];
    // Method table positions (own methods begin at 7, after IUnknown and
    // IDispatch); 0 for a method that the generation does not have.
    unsigned short positions[VboxMethodCount];
    ULONG states[VboxStateCount];
    enum SaveStateHolder saveStateHolder;
    // From 5.2 on GetScreenResolution also reports the screen's origin and status.
    int screenResolutionHasOrigin;
};

// Newest first: the order in which a VirtualBox object is asked.
extern const VboxGeneration VboxGenerations[];
extern const int VboxGenerationCount;

// The generation of the VirtualBox connected to; NULL until a connection chose one.
extern const VboxGeneration *VboxApi;

// A named machine state of the generation in use.
ULONG VboxStateNumber(enum VboxState state);

// The one way of calling VirtualBox: the method at its position in the
// generation in use, by the shape of its arguments. A method that hands out an
// object hands it out only when the object answers the generation's
// identifier for its interface, as the pointer that answered; otherwise the
// call fails with the QueryInterface result, and the mismatch is logged once
// for that interface.
HRESULT CallVbox(IUnknown *object, enum VboxMethod method);
HRESULT CallVbox(IUnknown *object, enum VboxMethod method, LONG number);
HRESULT CallVbox(IUnknown *object, enum VboxMethod method, BSTR *text);
HRESULT CallVbox(IUnknown *object, enum VboxMethod method, ULONG *number);
HRESULT CallVbox(IUnknown *object, enum VboxMethod method, IUnknown **result);
HRESULT CallVbox(IUnknown *object, enum VboxMethod method, BSTR text, IUnknown **result);
HRESULT CallVbox(IUnknown *object, enum VboxMethod method, IUnknown *argument, LONG number);
// Asks an object for the generation's identifier of the interface: 1 when it
// answered (*checked then holds the pointer that did), else 0 with the
// mismatch logged once and *result the QueryInterface result.
int CheckVboxInterface(IUnknown *object, enum VboxInterface kind, IUnknown **checked, HRESULT *result);
// Screen 0's size; the origin and the monitor status of newer generations are dropped.
HRESULT CallVboxScreenResolution(IDisplay *display, ULONG screen, ULONG *width, ULONG *height, ULONG *bitsPerPixel);

#endif
