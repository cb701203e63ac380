#include "vbox_api.h"

#include "log.h"

const CLSID ClsidVirtualBox = { 0xB1A7A4F2, 0x47B9, 0x4A1E, { 0x82, 0xB2, 0x07, 0xCC, 0xD5, 0x32, 0x3C, 0x3F } };
const CLSID ClsidSession = { 0x3C02F46D, 0xC9D2, 0x4F11, { 0xA3, 0x84, 0x53, 0xF0, 0xCF, 0x91, 0x72, 0x14 } };

const VboxGeneration *VboxApi;

const char *const VboxInterfaceNames[VboxInterfaceCount] = {
    "IVirtualBox", "ISession", "IMachine", "IConsole", "IProgress", "IDisplay", "IVRDEServer", "IVRDEServerInfo",
};

// What each method that hands out an object hands out; VboxInterfaceCount for the others.
static enum VboxInterface HandedOutBy(enum VboxMethod method)
{
    switch (method) {
    case VirtualBoxFindMachine:
    case SessionGetMachine:
        return VboxIMachine;
    case SessionGetConsole:
        return VboxIConsole;
    case MachineSaveState:
    case ConsolePowerDown:
    case ConsoleSaveState:
        return VboxIProgress;
    case ConsoleGetDisplay:
        return VboxIDisplay;
    case MachineGetVrdeServer:
        return VboxIVRDEServer;
    case ConsoleGetVrdeServerInfo:
        return VboxIVRDEServerInfo;
    default:
        return VboxInterfaceCount;
    }
}

// The generation for which each interface's mismatch was last logged: a
// mismatch is the VirtualBox installed, and every pipe request would repeat it.
static const VboxGeneration *volatile MismatchLogged[VboxInterfaceCount];

int CheckVboxInterface(IUnknown *object, enum VboxInterface kind, IUnknown **checked, HRESULT *result)
{
    *checked = NULL;
    *result = object != NULL && VboxApi != NULL
        ? object->QueryInterface(VboxApi->iids[kind], (void **)checked) : E_POINTER;
    if (SUCCEEDED(*result) && *checked != NULL)
        return 1;
    if (SUCCEEDED(*result))
        *result = E_NOINTERFACE;
    *checked = NULL;
    // Any other failure (a server that went away) is no word on the generation.
    if (*result != E_NOINTERFACE)
        return 0;
    const VboxGeneration *generation = VboxApi;
    if (InterlockedExchangePointer((void *volatile *)&MismatchLogged[kind], (void *)generation) != generation)
        WriteLog(1, "ERROR: VirtualBox's %s does not match the API generation %s (0x%08x)", VboxInterfaceNames[kind],
                 generation != NULL ? generation->name : "(none)", (unsigned)*result);
    return 0;
}

// A method's object, handed on only as the pointer that answered its
// interface's identifier; the object as VirtualBox gave it is released. A
// progress that a failed call handed back is checked and handed on (the stop
// waits on it); any other object of a failed call is released, since no
// caller looks at it.
static HRESULT CheckHandedOut(enum VboxMethod method, HRESULT result, IUnknown **object)
{
    enum VboxInterface kind = HandedOutBy(method);
    if (*object != NULL && FAILED(result) && kind != VboxIProgress) {
        (*object)->Release();
        *object = NULL;
    }
    if (*object == NULL || kind == VboxInterfaceCount)
        return result;
    IUnknown *checked = NULL;
    HRESULT answer = S_OK;
    CheckVboxInterface(*object, kind, &checked, &answer);
    (*object)->Release();
    *object = checked;
    return FAILED(result) || SUCCEEDED(answer) ? result : answer;
}

ULONG VboxStateNumber(enum VboxState state)
{
    return VboxApi != NULL ? VboxApi->states[state] : VBOX_NO_STATE;
}

// The method's entry in the object's table. A generation without the method
// (position 0) or no generation chosen yet gives no entry.
static void *FindMethod(IUnknown *object, enum VboxMethod method)
{
    if (object == NULL || VboxApi == NULL || VboxApi->positions[method] == 0)
        return NULL;
    void **table = *(void ***)object;
    return table[VboxApi->positions[method]];
}

// COM methods take their object as the first argument, in the calling
// convention of the interface declarations.
typedef HRESULT(STDMETHODCALLTYPE *NoArgumentsMethod)(IUnknown *);
typedef HRESULT(STDMETHODCALLTYPE *NumberInMethod)(IUnknown *, LONG);
typedef HRESULT(STDMETHODCALLTYPE *TextOutMethod)(IUnknown *, BSTR *);
typedef HRESULT(STDMETHODCALLTYPE *NumberOutMethod)(IUnknown *, ULONG *);
typedef HRESULT(STDMETHODCALLTYPE *ObjectOutMethod)(IUnknown *, IUnknown **);
typedef HRESULT(STDMETHODCALLTYPE *TextInObjectOutMethod)(IUnknown *, BSTR, IUnknown **);
typedef HRESULT(STDMETHODCALLTYPE *ObjectAndNumberInMethod)(IUnknown *, IUnknown *, LONG);
typedef HRESULT(STDMETHODCALLTYPE *ScreenSizeMethod)(IUnknown *, ULONG, ULONG *, ULONG *, ULONG *);
typedef HRESULT(STDMETHODCALLTYPE *ScreenSizeAndOriginMethod)(IUnknown *, ULONG, ULONG *, ULONG *, ULONG *, LONG *, LONG *, ULONG *);

HRESULT CallVbox(IUnknown *object, enum VboxMethod method)
{
    NoArgumentsMethod call = (NoArgumentsMethod)FindMethod(object, method);
    return call != NULL ? call(object) : E_NOTIMPL;
}

HRESULT CallVbox(IUnknown *object, enum VboxMethod method, LONG number)
{
    NumberInMethod call = (NumberInMethod)FindMethod(object, method);
    return call != NULL ? call(object, number) : E_NOTIMPL;
}

HRESULT CallVbox(IUnknown *object, enum VboxMethod method, BSTR *text)
{
    *text = NULL;
    TextOutMethod call = (TextOutMethod)FindMethod(object, method);
    return call != NULL ? call(object, text) : E_NOTIMPL;
}

HRESULT CallVbox(IUnknown *object, enum VboxMethod method, ULONG *number)
{
    NumberOutMethod call = (NumberOutMethod)FindMethod(object, method);
    return call != NULL ? call(object, number) : E_NOTIMPL;
}

HRESULT CallVbox(IUnknown *object, enum VboxMethod method, IUnknown **result)
{
    *result = NULL;
    ObjectOutMethod call = (ObjectOutMethod)FindMethod(object, method);
    return call != NULL ? CheckHandedOut(method, call(object, result), result) : E_NOTIMPL;
}

HRESULT CallVbox(IUnknown *object, enum VboxMethod method, BSTR text, IUnknown **result)
{
    *result = NULL;
    TextInObjectOutMethod call = (TextInObjectOutMethod)FindMethod(object, method);
    return call != NULL ? CheckHandedOut(method, call(object, text, result), result) : E_NOTIMPL;
}

HRESULT CallVbox(IUnknown *object, enum VboxMethod method, IUnknown *argument, LONG number)
{
    ObjectAndNumberInMethod call = (ObjectAndNumberInMethod)FindMethod(object, method);
    return call != NULL ? call(object, argument, number) : E_NOTIMPL;
}

HRESULT CallVboxScreenResolution(IDisplay *display, ULONG screen, ULONG *width, ULONG *height, ULONG *bitsPerPixel)
{
    void *method = FindMethod(display, DisplayGetScreenResolution);
    if (method == NULL)
        return E_NOTIMPL;
    if (!VboxApi->screenResolutionHasOrigin)
        return ((ScreenSizeMethod)method)(display, screen, width, height, bitsPerPixel);
    LONG originX = 0, originY = 0;
    ULONG status = 0;
    return ((ScreenSizeAndOriginMethod)method)(display, screen, width, height, bitsPerPixel, &originX, &originY, &status);
}
