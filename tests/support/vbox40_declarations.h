#ifndef PELORIN_VBOX40_DECLARATIONS_H
#define PELORIN_VBOX40_DECLARATIONS_H

// VirtualBox's 4.0 API generation as C++ declarations, for the tests: its
// machine state numbers (the stand-in's default generation), and interfaces
// whose methods sit at the 4.0 positions, so that in-process fakes can stand
// where the service calls by position. The service itself holds no such
// declarations; it calls every generation through one description each.

#include <windows.h>
#include <oaidl.h>

enum MachineState {
    MachineStateNull = 0,
    MachineStatePoweredOff = 1,
    MachineStateSaved = 2,
    MachineStateTeleported = 3,
    MachineStateAborted = 4,
    MachineStateRunning = 5,
    MachineStatePaused = 6,
    MachineStateStuck = 7,
    MachineStateTeleporting = 8,
    MachineStateLiveSnapshotting = 9,
    MachineStateStarting = 10,
    MachineStateStopping = 11,
    MachineStateSaving = 12,
    MachineStateRestoring = 13
};

// A method the service never calls; it only holds a slot.
#define VBOX_FILLER(slot) \
    virtual HRESULT STDMETHODCALLTYPE Filler##slot() { return E_NOTIMPL; }

struct Vbox40Machine;
struct Vbox40Session;
struct Vbox40Console;
struct Vbox40Progress;
struct Vbox40VrdeServer;
struct Vbox40VrdeServerInfo;
struct Vbox40Display;

struct Vbox40VirtualBox : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Version(BSTR *version) = 0; // slot 7
    VBOX_FILLER(8) VBOX_FILLER(9)
    virtual HRESULT STDMETHODCALLTYPE get_HomeFolder(BSTR *homeFolder) = 0; // slot 10
    VBOX_FILLER(11) VBOX_FILLER(12) VBOX_FILLER(13) VBOX_FILLER(14) VBOX_FILLER(15) VBOX_FILLER(16)
    VBOX_FILLER(17) VBOX_FILLER(18) VBOX_FILLER(19) VBOX_FILLER(20) VBOX_FILLER(21) VBOX_FILLER(22)
    VBOX_FILLER(23) VBOX_FILLER(24) VBOX_FILLER(25) VBOX_FILLER(26) VBOX_FILLER(27) VBOX_FILLER(28)
    virtual HRESULT STDMETHODCALLTYPE FindMachine(BSTR nameOrId, Vbox40Machine **machine) = 0; // slot 29
};

struct Vbox40Machine : public IDispatch {
    VBOX_FILLER(7) VBOX_FILLER(8) VBOX_FILLER(9) VBOX_FILLER(10) VBOX_FILLER(11) VBOX_FILLER(12)
    VBOX_FILLER(13)
    virtual HRESULT STDMETHODCALLTYPE get_Id(BSTR *id) = 0; // slot 14
    VBOX_FILLER(15) VBOX_FILLER(16) VBOX_FILLER(17) VBOX_FILLER(18) VBOX_FILLER(19) VBOX_FILLER(20)
    VBOX_FILLER(21) VBOX_FILLER(22) VBOX_FILLER(23) VBOX_FILLER(24) VBOX_FILLER(25) VBOX_FILLER(26)
    VBOX_FILLER(27) VBOX_FILLER(28) VBOX_FILLER(29) VBOX_FILLER(30) VBOX_FILLER(31) VBOX_FILLER(32)
    VBOX_FILLER(33) VBOX_FILLER(34) VBOX_FILLER(35) VBOX_FILLER(36) VBOX_FILLER(37) VBOX_FILLER(38)
    VBOX_FILLER(39) VBOX_FILLER(40) VBOX_FILLER(41) VBOX_FILLER(42) VBOX_FILLER(43) VBOX_FILLER(44)
    VBOX_FILLER(45) VBOX_FILLER(46) VBOX_FILLER(47) VBOX_FILLER(48) VBOX_FILLER(49) VBOX_FILLER(50)
    VBOX_FILLER(51) VBOX_FILLER(52) VBOX_FILLER(53)
    virtual HRESULT STDMETHODCALLTYPE get_VRDEServer(Vbox40VrdeServer **vrdeServer) = 0; // slot 54
    VBOX_FILLER(55) VBOX_FILLER(56) VBOX_FILLER(57) VBOX_FILLER(58) VBOX_FILLER(59) VBOX_FILLER(60)
    VBOX_FILLER(61) VBOX_FILLER(62)
    virtual HRESULT STDMETHODCALLTYPE get_SessionPid(ULONG *sessionPid) = 0; // slot 63
    virtual HRESULT STDMETHODCALLTYPE get_State(ULONG *state) = 0; // slot 64
    VBOX_FILLER(65) VBOX_FILLER(66) VBOX_FILLER(67) VBOX_FILLER(68) VBOX_FILLER(69) VBOX_FILLER(70)
    VBOX_FILLER(71) VBOX_FILLER(72) VBOX_FILLER(73) VBOX_FILLER(74) VBOX_FILLER(75) VBOX_FILLER(76)
    VBOX_FILLER(77) VBOX_FILLER(78) VBOX_FILLER(79) VBOX_FILLER(80) VBOX_FILLER(81) VBOX_FILLER(82)
    VBOX_FILLER(83) VBOX_FILLER(84) VBOX_FILLER(85) VBOX_FILLER(86) VBOX_FILLER(87) VBOX_FILLER(88)
    VBOX_FILLER(89) VBOX_FILLER(90) VBOX_FILLER(91) VBOX_FILLER(92) VBOX_FILLER(93) VBOX_FILLER(94)
    VBOX_FILLER(95) VBOX_FILLER(96) VBOX_FILLER(97) VBOX_FILLER(98) VBOX_FILLER(99) VBOX_FILLER(100)
    VBOX_FILLER(101)
    virtual HRESULT STDMETHODCALLTYPE LockMachine(Vbox40Session *session, LONG lockType) = 0; // slot 102
};

struct Vbox40Session : public IDispatch {
    VBOX_FILLER(7) VBOX_FILLER(8) VBOX_FILLER(9)
    virtual HRESULT STDMETHODCALLTYPE get_Console(Vbox40Console **console) = 0; // slot 10
    virtual HRESULT STDMETHODCALLTYPE UnlockMachine() = 0; // slot 11
};

struct Vbox40Console : public IDispatch {
    VBOX_FILLER(7) VBOX_FILLER(8) VBOX_FILLER(9) VBOX_FILLER(10) VBOX_FILLER(11)
    virtual HRESULT STDMETHODCALLTYPE get_Display(Vbox40Display **display) = 0; // slot 12
    VBOX_FILLER(13) VBOX_FILLER(14) VBOX_FILLER(15) VBOX_FILLER(16)
    virtual HRESULT STDMETHODCALLTYPE get_VRDEServerInfo(Vbox40VrdeServerInfo **vrdeServerInfo) = 0; // slot 17
    VBOX_FILLER(18) VBOX_FILLER(19) VBOX_FILLER(20) VBOX_FILLER(21)
    virtual HRESULT STDMETHODCALLTYPE PowerDown(Vbox40Progress **progress) = 0; // slot 22
    VBOX_FILLER(23) VBOX_FILLER(24) VBOX_FILLER(25)
    virtual HRESULT STDMETHODCALLTYPE PowerButton() = 0; // slot 26
    virtual HRESULT STDMETHODCALLTYPE SleepButton() = 0; // slot 27
    VBOX_FILLER(28)
    virtual HRESULT STDMETHODCALLTYPE GetGuestEnteredACPIMode(BOOL *entered) = 0; // slot 29
    virtual HRESULT STDMETHODCALLTYPE SaveState(Vbox40Progress **progress) = 0; // slot 30
};

struct Vbox40Progress : public IDispatch {
    VBOX_FILLER(7) VBOX_FILLER(8) VBOX_FILLER(9) VBOX_FILLER(10) VBOX_FILLER(11) VBOX_FILLER(12)
    virtual HRESULT STDMETHODCALLTYPE get_Completed(BOOL *completed) = 0; // slot 13
    VBOX_FILLER(14)
    virtual HRESULT STDMETHODCALLTYPE get_ResultCode(LONG *resultCode) = 0; // slot 15
    VBOX_FILLER(16) VBOX_FILLER(17) VBOX_FILLER(18)
    VBOX_FILLER(19) VBOX_FILLER(20) VBOX_FILLER(21) VBOX_FILLER(22) VBOX_FILLER(23) VBOX_FILLER(24)
    VBOX_FILLER(25)
    virtual HRESULT STDMETHODCALLTYPE WaitForCompletion(LONG timeout) = 0; // slot 26
};

struct Vbox40VrdeServer : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Enabled(BOOL *enabled) = 0; // slot 7
};

struct Vbox40VrdeServerInfo : public IDispatch {
    VBOX_FILLER(7)
    virtual HRESULT STDMETHODCALLTYPE get_Port(LONG *port) = 0; // slot 8
};

struct Vbox40Display : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE GetScreenResolution(ULONG screenId, ULONG *width, ULONG *height, ULONG *bitsPerPixel) = 0; // slot 7
};

#endif
