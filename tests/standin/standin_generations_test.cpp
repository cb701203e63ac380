// The stand-in in each VirtualBox API generation, through real COM. The
// identifiers, positions and MachineState numbers below are written from the
// reference of the generations, not taken from the stand-in's own table, so
// that the two are held against each other.
#include "standin_test_fixture.h"

#include <string.h>

namespace {

const int GenerationCount = 6;
const char *const Generations[GenerationCount] = { "4.0", "5.2", "6.1", "7.0", "7.1", "7.2" };

struct Identifiers {
    const char *interfaceName;
    const char *iid[GenerationCount];
};

const Identifiers Iids[] = {
    { "IVirtualBox",
      { "D2DE270C-1D4B-4C9E-843F-BBB9B47269FF", "9570b9d5-f1a1-448a-10c5-e12f5285adad",
        "d0a0163f-e254-4e5b-a1f2-011cf991c38d", "7682d5eb-f00e-44f1-8ca2-99d08b1cd607",
        "d644ad1e-c501-4fc7-9ab6-aa6d763bc540", "2ce10519-3c09-45d8-a12d-e887786146b7" } },
    { "IMachine",
      { "662c175e-a69d-40b8-a77a-1d719d0ab062", "85cd948e-a71f-4289-281e-0ca7ad48cd89",
        "85632c68-b5bb-4316-a900-5eb28d3413df", "300763af-5d6b-46e6-aa96-273eac15538a",
        "e36a5081-a82a-40bd-9e4e-42a44d6ce50f", "e36a5081-a82a-40bd-9e4e-42a44d6ce50f" } },
    { "ISession",
      { "12F4DCDB-12B2-4EC1-B7CD-DDD9F6C5BF4D", "7844aa05-b02e-4cdd-a04f-ade4a762e6b7",
        "c0447716-ff5a-4795-b57a-ecd5fffa18a4", "c0447716-ff5a-4795-b57a-ecd5fffa18a4",
        "c0447716-ff5a-4795-b57a-ecd5fffa18a4", "c0447716-ff5a-4795-b57a-ecd5fffa18a4" } },
    { "IConsole",
      { "515e8e8d-f932-4d8e-9f32-79a52aead882", "872da645-4a9b-1727-bee2-5585105b9eed",
        "872da645-4a9b-1727-bee2-5585105b9eed", "6ac83d89-6ee7-4e33-8ae6-b257b2e81be8",
        "6ac83d89-6ee7-4e33-8ae6-b257b2e81be8", "6ac83d89-6ee7-4e33-8ae6-b257b2e81be8" } },
    { "IProgress",
      { "a163c98f-8635-4aa8-b770-a9941737f3ef", "e0026dc0-0c55-47b1-aa64-d340a396b418",
        "d7b98d2b-30e8-447e-99cb-e31becae6ae4", "d7b98d2b-30e8-447e-99cb-e31becae6ae4",
        "d7b98d2b-30e8-447e-99cb-e31becae6ae4", "d7b98d2b-30e8-447e-99cb-e31becae6ae4" } },
    { "IVRDEServer",
      { "be24e0db-e1d6-4d58-b85b-21053d1511b4", "6e758489-453a-6f98-9cb9-2da2cb8eabb5",
        "08e25756-08a2-41af-a05f-d7c661abaebe", "08e25756-08a2-41af-a05f-d7c661abaebe",
        "08e25756-08a2-41af-a05f-d7c661abaebe", "08e25756-08a2-41af-a05f-d7c661abaebe" } },
    { "IVRDEServerInfo",
      { "714434a1-58c3-4aab-9049-7652c5df113b", "c39ef4d6-7532-45e8-96da-eb5986ae76e4",
        "c39ef4d6-7532-45e8-96da-eb5986ae76e4", "c39ef4d6-7532-45e8-96da-eb5986ae76e4",
        "c39ef4d6-7532-45e8-96da-eb5986ae76e4", "c39ef4d6-7532-45e8-96da-eb5986ae76e4" } },
    { "IDisplay",
      { "09eed313-cd56-4d06-bd56-fac0f716b5dd", "76eed314-3c72-4bbb-95cf-5eb4947a4041",
        "4680b2de-8690-11e9-b83d-5719e53cf1de", "4680b2de-8690-11e9-b83d-5719e53cf1de",
        "4680b2de-8690-11e9-b83d-5719e53cf1de", "14fd6676-ee6b-441a-988b-c83025ab693a" } },
};

// The summary matrix of the reference; 0 where a generation has no such method.
struct Method {
    const char *interfaceName;
    const wchar_t *name;
    INVOKEKIND kind;
    unsigned parameters;
    int at[GenerationCount];
};

const INVOKEKIND Get = INVOKE_PROPERTYGET;
const INVOKEKIND Call = INVOKE_FUNC;
const Method Methods[] = {
    { "IVirtualBox", L"Version", Get, 1, { 7, 7, 7, 7, 7, 7 } },
    { "IVirtualBox", L"HomeFolder", Get, 1, { 10, 13, 13, 13, 13, 13 } },
    { "IVirtualBox", L"FindMachine", Call, 2, { 29, 48, 50, 51, 53, 53 } },
    { "IMachine", L"Id", Get, 1, { 14, 16, 16, 16, 16, 16 } },
    { "IMachine", L"VRDEServer", Get, 1, { 54, 82, 54, 58, 51, 51 } },
    { "IMachine", L"SessionPid", Get, 1, { 63, 0, 0, 0, 0, 0 } },
    { "IMachine", L"SessionPID", Get, 1, { 0, 95, 67, 71, 64, 64 } },
    { "IMachine", L"State", Get, 1, { 64, 96, 68, 72, 65, 65 } },
    { "IMachine", L"LockMachine", Call, 2, { 102, 166, 137, 146, 139, 139 } },
    { "IMachine", L"SaveState", Call, 1, { 0, 240, 212, 221, 205, 205 } },
    { "ISession", L"Machine", Get, 1, { 0, 11, 11, 11, 11, 11 } },
    { "ISession", L"Console", Get, 1, { 10, 12, 12, 12, 12, 12 } },
    { "ISession", L"UnlockMachine", Call, 0, { 11, 17, 21, 21, 21, 21 } },
    { "IConsole", L"Display", Get, 1, { 12, 12, 12, 12, 12, 12 } },
    { "IConsole", L"VRDEServerInfo", Get, 1, { 17, 17, 17, 17, 17, 17 } },
    { "IConsole", L"PowerDown", Call, 1, { 22, 33, 33, 33, 33, 33 } },
    { "IConsole", L"PowerButton", Call, 0, { 26, 37, 37, 37, 37, 37 } },
    { "IConsole", L"SleepButton", Call, 0, { 27, 38, 38, 38, 38, 38 } },
    { "IConsole", L"GetGuestEnteredACPIMode", Call, 1, { 29, 40, 40, 40, 40, 40 } },
    { "IConsole", L"SaveState", Call, 1, { 30, 0, 0, 0, 0, 0 } },
    { "IProgress", L"Completed", Get, 1, { 13, 13, 13, 13, 13, 13 } },
    { "IProgress", L"ResultCode", Get, 1, { 15, 15, 15, 15, 15, 15 } },
    { "IProgress", L"ErrorInfo", Get, 1, { 16, 16, 16, 16, 16, 16 } },
    { "IProgress", L"WaitForCompletion", Call, 1, { 26, 29, 37, 37, 37, 37 } },
    { "IVRDEServer", L"Enabled", Get, 1, { 7, 7, 7, 7, 7, 7 } },
    { "IVRDEServerInfo", L"Port", Get, 1, { 8, 8, 8, 8, 8, 8 } },
    { "IDisplay", L"GetScreenResolution", Call, 4, { 7, 0, 0, 0, 0, 0 } },
    { "IDisplay", L"GetScreenResolution", Call, 7, { 0, 10, 24, 24, 24, 24 } },
};

// MachineState numbers that differ between generations.
struct States {
    long abortedSaved;  // 0: none
    long running;
    long paused;
    long stopping;
    long saving;
};
const States StateNumbers[GenerationCount] = {
    { 0, 5, 6, 11, 12 }, { 0, 5, 6, 11, 12 }, { 0, 5, 6, 11, 12 },
    { 5, 6, 7, 12, 13 }, { 5, 6, 7, 12, 13 }, { 5, 6, 7, 12, 13 },
};
const long PoweredOff = 1;
const long Saved = 2;

const char *IidText(const char *interfaceName, int generation)
{
    for (const Identifiers &row : Iids) {
        if (strcmp(row.interfaceName, interfaceName) == 0)
            return row.iid[generation];
    }
    return NULL;
}

IID IidOf(const char *interfaceName, int generation)
{
    const char *text = IidText(interfaceName, generation);
    wchar_t braced[64];
    swprintf(braced, 64, L"{%hs}", text != NULL ? text : "");
    IID iid = GUID_NULL;
    EXPECT_EQ(S_OK, IIDFromString(braced, &iid)) << interfaceName;
    return iid;
}

int At(int generation, const char *interfaceName, const wchar_t *name)
{
    for (const Method &method : Methods) {
        if (strcmp(method.interfaceName, interfaceName) == 0 && wcscmp(method.name, name) == 0 &&
            method.at[generation] != 0)
            return method.at[generation];
    }
    ADD_FAILURE() << interfaceName << " has no such method in " << Generations[generation];
    return 0;
}

// Calls the method at a position of an interface's method table, as a client
// that declares the interfaces itself does.
template <class... Arguments>
HRESULT CallAt(IUnknown *object, int position, Arguments... arguments)
{
    typedef HRESULT(STDMETHODCALLTYPE * Function)(IUnknown *, Arguments...);
    void **table = *reinterpret_cast<void ***>(object);
    return reinterpret_cast<Function>(table[position])(object, arguments...);
}

class GenerationTest : public StandinTest {
protected:
    struct Locked {
        IUnknown *machine;
        IUnknown *session;
        IUnknown *console;
    };

    // A clean catalogue serving the generation, with "Web Server" in the state.
    void Serve(int generation, long state)
    {
        ASSERT_EQ(1, StandinReset());
        ASSERT_EQ(1, StandinSetGeneration(Generations[generation]));
        StandinMachine web = MakeMachine("Web Server", WebUuid, state);
        ASSERT_EQ(1, StandinPutMachine(&web));
    }

    IUnknown *Create(REFCLSID clsid, DWORD context)
    {
        IUnknown *object = NULL;
        EXPECT_EQ(S_OK, CoCreateInstance(clsid, NULL, context, IID_IUnknown, (void **)&object));
        return Hold(object);
    }

    IUnknown *Ask(IUnknown *object, const char *interfaceName, int generation)
    {
        IUnknown *face = NULL;
        if (object != NULL) {
            EXPECT_EQ(S_OK, object->QueryInterface(IidOf(interfaceName, generation), (void **)&face)) << interfaceName;
        }
        return Hold(face);
    }

    // "Web Server" found, locked by a new session, and its console.
    Locked Lock(int generation)
    {
        Locked locked = { NULL, NULL, NULL };
        IUnknown *virtualBox = Ask(Create(CLSID_VirtualBox, CLSCTX_LOCAL_SERVER), "IVirtualBox", generation);
        locked.session = Ask(Create(CLSID_Session, CLSCTX_INPROC_SERVER), "ISession", generation);
        if (virtualBox == NULL || locked.session == NULL)
            return locked;
        Bstr name(L"Web Server");
        IUnknown *found = NULL;
        EXPECT_EQ(S_OK, CallAt(virtualBox, At(generation, "IVirtualBox", L"FindMachine"), name.value, &found));
        // Objects arrive as IUnknown: asked for the generation's interface, as a client does.
        locked.machine = Ask(Hold(found), "IMachine", generation);
        if (locked.machine == NULL)
            return locked;
        EXPECT_EQ(S_OK, CallAt(locked.machine, At(generation, "IMachine", L"LockMachine"), locked.session, 1L));
        IUnknown *console = NULL;
        EXPECT_EQ(S_OK, CallAt(locked.session, At(generation, "ISession", L"Console"), &console));
        locked.console = Ask(Hold(console), "IConsole", generation);
        return locked;
    }

    IUnknown *SessionMachine(const Locked &locked, int generation)
    {
        IUnknown *machine = NULL;
        EXPECT_EQ(S_OK, CallAt(locked.session, At(generation, "ISession", L"Machine"), &machine));
        return Ask(Hold(machine), "IMachine", generation);
    }

    // The state once the stand-in has seen the machine's process end.
    long StateAfterEnd(long expected)
    {
        for (int i = 0; i < 200 && StateOf("Web Server") != expected; i++)
            Sleep(10);
        return StateOf("Web Server");
    }
};

TEST_F(GenerationTest, VirtualBoxAndSessionAnswerOnlyTheChosenGenerationsIdentifiers)
{
    EXPECT_EQ(0, StandinSetGeneration("4.1"));
    EXPECT_EQ(0, StandinSetGeneration(""));
    EXPECT_EQ(0, StandinSetGeneration(NULL));
    const char *const names[] = { "IVirtualBox", "ISession" };
    // The generations and then "none", which answers neither.
    for (int chosen = 0; chosen <= GenerationCount; chosen++) {
        const char *word = chosen < GenerationCount ? Generations[chosen] : "none";
        ASSERT_EQ(1, StandinSetGeneration(word));
        IUnknown *objects[] = { Create(CLSID_VirtualBox, CLSCTX_LOCAL_SERVER), Create(CLSID_Session, CLSCTX_INPROC_SERVER) };
        for (int i = 0; i < 2; i++) {
            ASSERT_NE(nullptr, objects[i]);
            for (int asked = 0; asked < GenerationCount; asked++) {
                bool answers = chosen < GenerationCount && strcmp(IidText(names[i], asked), IidText(names[i], chosen)) == 0;
                IUnknown *face = NULL;
                EXPECT_EQ(answers ? S_OK : E_NOINTERFACE,
                          objects[i]->QueryInterface(IidOf(names[i], asked), (void **)&face))
                    << word << " asked for " << names[i] << " of " << Generations[asked];
                Hold(face);
            }
        }
    }
    // A reset goes back to the first generation.
    ASSERT_EQ(1, StandinReset());
    EXPECT_NE(nullptr, Connect());
}

TEST_F(GenerationTest, TypeLibraryHoldsEveryGenerationsMethodsAtTheirPositions)
{
    ITypeLib *library = NULL;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_PelorinStandin, 1, 0, LANG_NEUTRAL, &library));
    for (int generation = 0; generation < GenerationCount; generation++) {
        for (const Identifiers &interfaceRow : Iids) {
            std::string where = std::string(interfaceRow.interfaceName) + " of " + Generations[generation];
            ITypeInfo *info = NULL;
            ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(IidOf(interfaceRow.interfaceName, generation), &info)) << where;
            // A dual interface's type information describes its dispatch side;
            // the method table is the interface it refers to at index -1.
            HREFTYPE vtableType = 0;
            ITypeInfo *vtable = NULL;
            ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(-1, &vtableType));
            ASSERT_EQ(S_OK, info->GetRefTypeInfo(vtableType, &vtable));
            info->Release();
            // What the reference puts where; every other position is a filler.
            std::vector<const Method *> wanted(8, NULL);
            for (const Method &method : Methods) {
                int position = method.at[generation];
                if (strcmp(method.interfaceName, interfaceRow.interfaceName) == 0 && position != 0) {
                    if ((int)wanted.size() <= position)
                        wanted.resize(position + 1, NULL);
                    wanted[position] = &method;
                }
            }
            TYPEATTR *attributes = NULL;
            ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attributes));
            EXPECT_EQ(wanted.size() - 7, attributes->cFuncs) << where;
            for (UINT i = 0; i < attributes->cFuncs; i++) {
                FUNCDESC *function = NULL;
                ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &function));
                Bstr name;
                UINT count = 0;
                vtable->GetNames(function->memid, name.Out(), 1, &count);
                size_t position = function->oVft / sizeof(void *);
                const Method *method = position < wanted.size() ? wanted[position] : NULL;
                if (method != NULL) {
                    // A type library keeps one spelling of a name whatever its case
                    // (4.0's SessionPid for SessionPID, the parameter machine for Machine).
                    EXPECT_EQ(0, lstrcmpiW(method->name, name.value))
                        << where << " at " << position << ": " << Narrow(name.value);
                    EXPECT_EQ(method->kind, function->invkind) << where << " at " << position;
                    EXPECT_EQ(method->parameters, (unsigned)function->cParams) << where << " at " << position;
                } else {
                    EXPECT_EQ("Unused" + std::to_string(position), Narrow(name.value)) << where;
                }
                vtable->ReleaseFuncDesc(function);
            }
            vtable->ReleaseTypeAttr(attributes);
            vtable->Release();
        }
    }
    library->Release();
}

TEST_F(GenerationTest, SessionMachineSavesTheStateWhereTheConsoleNoLongerDoes)
{
    for (int generation = 1; generation < GenerationCount; generation++) {
        SCOPED_TRACE(Generations[generation]);
        Serve(generation, PoweredOff);
        // Long enough to see the machine saving.
        ASSERT_EQ(1, StandinSetDelay("SaveState", 300));
        PROCESS_INFORMATION process = StartMachine("Web Server", WebUuid);
        EXPECT_EQ(StateNumbers[generation].running, StateOf("Web Server"));
        Locked locked = Lock(generation);
        ASSERT_NE(nullptr, locked.console);
        int saveState = At(generation, "IMachine", L"SaveState");
        IUnknown *progress = (IUnknown *)1;
        EXPECT_EQ(InvalidVmState, CallAt(locked.machine, saveState, &progress));
        EXPECT_EQ(nullptr, progress);
        // Where 4.0's console saved.
        EXPECT_EQ(E_NOTIMPL, CallAt(locked.console, 30));

        IUnknown *machine = SessionMachine(locked, generation);
        ASSERT_NE(nullptr, machine);
        ASSERT_EQ(S_OK, CallAt(machine, saveState, &progress));
        progress = Ask(Hold(progress), "IProgress", generation);
        EXPECT_EQ(StateNumbers[generation].saving, StateOf("Web Server"));
        EXPECT_EQ(S_OK, CallAt(progress, At(generation, "IProgress", L"WaitForCompletion"), -1L));
        EXPECT_EQ(0u, ExitCodeOf(process));
        EXPECT_EQ(Saved, StateOf("Web Server"));
        EXPECT_EQ(S_OK, CallAt(locked.session, At(generation, "ISession", L"UnlockMachine")));

        std::vector<std::string> journal = Journal();
        int refused = IndexOf(journal, "IMachine::SaveState machine=\"Web Server\" result=0x80bb0002");
        int filler = IndexOf(journal, "IConsole::Unused30 machine=\"Web Server\" result=0x80004001");
        int handed = IndexOf(journal, "ISession::get_Machine");
        int saved = IndexOf(journal, "IMachine::SaveState machine=\"Web Server\"");
        EXPECT_LE(0, refused);
        EXPECT_LT(refused, filler);
        EXPECT_LT(filler, handed);
        EXPECT_LT(handed, saved) << Joined(journal);
    }
}

TEST_F(GenerationTest, ScreenResolutionHasTheOriginAndMonitorStatusFrom52On)
{
    for (int generation = 1; generation < GenerationCount; generation++) {
        SCOPED_TRACE(Generations[generation]);
        // Marked running without a VBoxHeadless: the console is there all the same.
        Serve(generation, StateNumbers[generation].running);
        Locked locked = Lock(generation);
        ASSERT_NE(nullptr, locked.console);
        IUnknown *display = NULL;
        ASSERT_EQ(S_OK, CallAt(locked.console, At(generation, "IConsole", L"Display"), &display));
        display = Ask(Hold(display), "IDisplay", generation);
        ULONG width = 7, height = 7, bits = 7;
        LONG xOrigin = 7, yOrigin = 7, monitorStatus = 7;
        int resolution = At(generation, "IDisplay", L"GetScreenResolution");
        EXPECT_EQ(S_OK, CallAt(display, resolution, 0UL, &width, &height, &bits, &xOrigin, &yOrigin, &monitorStatus));
        EXPECT_EQ(1024u, width);
        EXPECT_EQ(768u, height);
        EXPECT_EQ(32u, bits);
        EXPECT_EQ(0, xOrigin);
        EXPECT_EQ(0, yOrigin);
        // GuestMonitorStatus Enabled.
        EXPECT_EQ(1, monitorStatus);
        // Before the guest has set a mode: 0 x 0, the monitor Blank.
        StandinMachine blank = MakeMachine("Web Server", WebUuid, StateNumbers[generation].running);
        blank.width = blank.height = 0;
        ASSERT_EQ(1, StandinPutMachine(&blank));
        EXPECT_EQ(S_OK, CallAt(display, resolution, 0UL, &width, &height, &bits, &xOrigin, &yOrigin, &monitorStatus));
        EXPECT_EQ(0u, width + height);
        EXPECT_EQ(2, monitorStatus);
        EXPECT_EQ(S_OK, CallAt(locked.session, At(generation, "ISession", L"UnlockMachine")));
        EXPECT_LE(0, IndexOf(Journal(), "IDisplay::GetScreenResolution machine=\"Web Server\" screenId=0"));
    }
}

// A failed save (a full disk): the outcome is in the progress's ResultCode,
// and each generation leaves its own state behind, the machine's process alive.
TEST_F(GenerationTest, AFailedSaveIsToldByResultCodeAndLeavesEachGenerationsState)
{
    const long FileError = (long)0x80BB0004L;
    const struct { long resultCode, after; } rows[GenerationCount] = {
        { FileError, StateNumbers[0].paused },   // 4.0 paused before it saved
        { FileError, StateNumbers[1].running },
        { FileError, StateNumbers[2].running },
        { E_FAIL, StateNumbers[3].saving },      // 7.0 and 7.1: a bare E_FAIL, still Saving
        { E_FAIL, StateNumbers[4].saving },
        { FileError, StateNumbers[5].running },
    };
    for (int generation = 0; generation < GenerationCount; generation++) {
        SCOPED_TRACE(Generations[generation]);
        Serve(generation, PoweredOff);
        const char *saver = generation == 0 ? "IConsole" : "IMachine";
        ASSERT_EQ(1, StandinSetOutcome((std::string(saver) + "::SaveState").c_str(), FileError));
        PROCESS_INFORMATION process = StartMachine("Web Server", WebUuid);
        Locked locked = Lock(generation);
        ASSERT_NE(nullptr, locked.console);
        IUnknown *target = generation == 0 ? locked.console : SessionMachine(locked, generation);
        ASSERT_NE(nullptr, target);
        IUnknown *progress = NULL;
        long code = 0;
        ASSERT_EQ(S_OK, CallAt(target, At(generation, saver, L"SaveState"), &progress));
        progress = Ask(Hold(progress), "IProgress", generation);
        ASSERT_NE(nullptr, progress);
        EXPECT_EQ(S_OK, CallAt(progress, At(generation, "IProgress", L"WaitForCompletion"), -1L));
        EXPECT_EQ(S_OK, CallAt(progress, At(generation, "IProgress", L"ResultCode"), &code));
        EXPECT_EQ(rows[generation].resultCode, code);
        EXPECT_EQ(rows[generation].after, StateOf("Web Server"));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process.hProcess, 0));
        EXPECT_EQ(S_OK, CallAt(locked.session, At(generation, "ISession", L"UnlockMachine")));
    }
}

// A shared lock on a machine that no session holds is an exclusive lock;
// from 5.2 on its session has no console (S_OK with NULL), in 4.0 one that is
// not powered up. It keeps VBoxHeadless and every other session out until it
// is given back.
TEST_F(GenerationTest, ASharedLockOnAMachineNobodyHoldsHasNoConsoleFrom52On)
{
    for (int generation = 0; generation < GenerationCount; generation++) {
        SCOPED_TRACE(Generations[generation]);
        Serve(generation, PoweredOff);
        Locked locked = Lock(generation);
        ASSERT_NE(nullptr, locked.machine);
        EXPECT_EQ(generation == 0, locked.console != NULL);
        IUnknown *other = Ask(Create(CLSID_Session, CLSCTX_INPROC_SERVER), "ISession", generation);
        ASSERT_NE(nullptr, other);
        EXPECT_EQ(InvalidObjectState, CallAt(locked.machine, At(generation, "IMachine", L"LockMachine"), other, 1L));
        PROCESS_INFORMATION refused = StartHeadless(std::string("-s \"") + WebUuid + "\" -v config");
        EXPECT_EQ(1u, ExitCodeOf(refused));
        EXPECT_EQ(PoweredOff, StateOf("Web Server"));
        EXPECT_LE(0, IndexOf(Journal(), "VBoxHeadless::LockMachine machine=\"Web Server\" result=0x80bb0007"));
        EXPECT_EQ(S_OK, CallAt(locked.session, At(generation, "ISession", L"UnlockMachine")));
        StartMachine("Web Server", WebUuid);
        EXPECT_EQ(StateNumbers[generation].running, StateOf("Web Server"));
    }
}

TEST_F(GenerationTest, SevenGenerationsNumberTheStatesAnewFromAbortedSavedOn)
{
    struct Stop {
        const char *interfaceName;   // IMachine: the session's machine
        const wchar_t *method;
        int generation;
        long during;
        long after;
    };
    // Each stop once, each of 7.0, 7.1 and 7.2 at least once.
    const Stop stops[] = {
        { "IConsole", L"PowerDown", 3, StateNumbers[3].stopping, PoweredOff },
        { "IMachine", L"SaveState", 4, StateNumbers[4].saving, Saved },
        { "IConsole", L"PowerButton", 5, StateNumbers[5].running, PoweredOff },
        { "IConsole", L"SleepButton", 4, StateNumbers[4].running, PoweredOff },
    };
    for (const Stop &stop : stops) {
        int generation = stop.generation;
        SCOPED_TRACE(std::string(Generations[generation]) + " " + Narrow((BSTR)stop.method));
        Serve(generation, StateNumbers[generation].abortedSaved);
        // Long enough to see each state on the way.
        const char *const delays[] = { "PowerDown", "SaveState", "PowerButton", "SleepButton" };
        for (const char *delay : delays)
            ASSERT_EQ(1, StandinSetDelay(delay, 300));
        // A machine whose saved state was left behind by a crash starts.
        PROCESS_INFORMATION process = StartMachine("Web Server", WebUuid);
        EXPECT_EQ(StateNumbers[generation].running, StateOf("Web Server"));
        Locked locked = Lock(generation);
        ASSERT_NE(nullptr, locked.console);
        IUnknown *target = strcmp(stop.interfaceName, "IMachine") == 0 ? SessionMachine(locked, generation) : locked.console;
        ASSERT_NE(nullptr, target);
        int position = At(generation, stop.interfaceName, stop.method);
        bool buttons = wcsstr(stop.method, L"Button") != NULL;
        IUnknown *progress = NULL;
        EXPECT_EQ(S_OK, buttons ? CallAt(target, position) : CallAt(target, position, &progress));
        if (progress != NULL)
            progress = Ask(Hold(progress), "IProgress", generation);
        EXPECT_EQ(stop.during, StateOf("Web Server"));
        if (progress != NULL) {
            EXPECT_EQ(S_OK, CallAt(progress, At(generation, "IProgress", L"WaitForCompletion"), -1L));
        }
        EXPECT_EQ(0u, ExitCodeOf(process));
        EXPECT_EQ(stop.after, StateAfterEnd(stop.after));
        EXPECT_EQ(S_OK, CallAt(locked.session, At(generation, "ISession", L"UnlockMachine")));
    }
}

}  // namespace
