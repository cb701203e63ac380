// The service declares VirtualBox's interfaces itself. These tests pin every
// method it calls to its slot, and hold the declarations against the type
// library of the stand-in, so that the two cannot drift apart.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>

#include "test_support.h"
#include "vbox_api.h"

namespace {

// A pointer to a virtual member function holds 1 + the method's offset in the
// method table (the C++ ABI that mingw-w64's g++ follows).
template <class Interface, class Method>
int SlotOf(Method Interface::*method)
{
    struct {
        uintptr_t pointer;
        ptrdiff_t adjustment;
    } raw;
    static_assert(sizeof(method) == sizeof(raw), "pointer to member layout");
    memcpy(&raw, &method, sizeof(raw));
    return raw.pointer & 1 ? (int)((raw.pointer - 1) / sizeof(void *)) : -1;
}

struct SlotRow {
    const char *interfaceName;
    const char *methodName;
    int slot;
    int declaredSlot;
    unsigned parameters;
};

const SlotRow Rows[] = {
    { "IVirtualBox", "get_Version", 7, SlotOf(&IVirtualBox::get_Version), 1 },
    { "IVirtualBox", "get_HomeFolder", 10, SlotOf(&IVirtualBox::get_HomeFolder), 1 },
    { "IVirtualBox", "FindMachine", 29, SlotOf(&IVirtualBox::FindMachine), 2 },
    { "IMachine", "get_Id", 14, SlotOf(&IMachine::get_Id), 1 },
    { "IMachine", "get_VRDEServer", 54, SlotOf(&IMachine::get_VRDEServer), 1 },
    { "IMachine", "get_SessionPid", 63, SlotOf(&IMachine::get_SessionPid), 1 },
    { "IMachine", "get_State", 64, SlotOf(&IMachine::get_State), 1 },
    { "IMachine", "LockMachine", 102, SlotOf(&IMachine::LockMachine), 2 },
    { "ISession", "get_Console", 10, SlotOf(&ISession::get_Console), 1 },
    { "ISession", "UnlockMachine", 11, SlotOf(&ISession::UnlockMachine), 0 },
    { "IConsole", "get_Display", 12, SlotOf(&IConsole::get_Display), 1 },
    { "IConsole", "get_VRDEServerInfo", 17, SlotOf(&IConsole::get_VRDEServerInfo), 1 },
    { "IConsole", "PowerDown", 22, SlotOf(&IConsole::PowerDown), 1 },
    { "IConsole", "PowerButton", 26, SlotOf(&IConsole::PowerButton), 0 },
    { "IConsole", "SleepButton", 27, SlotOf(&IConsole::SleepButton), 0 },
    { "IConsole", "SaveState", 30, SlotOf(&IConsole::SaveState), 1 },
    { "IProgress", "WaitForCompletion", 26, SlotOf(&IProgress::WaitForCompletion), 1 },
    { "IVRDEServer", "get_Enabled", 7, SlotOf(&IVRDEServer::get_Enabled), 1 },
    { "IVRDEServerInfo", "get_Port", 8, SlotOf(&IVRDEServerInfo::get_Port), 1 },
    { "IDisplay", "GetScreenResolution", 7, SlotOf(&IDisplay::GetScreenResolution), 4 },
};

TEST(VboxSlotsTest, EveryMethodSitsAtItsSlot)
{
    for (const SlotRow &row : Rows)
        EXPECT_EQ(row.slot, row.declaredSlot) << row.interfaceName << "::" << row.methodName;
}

std::string Narrow(const wchar_t *text)
{
    char buffer[256];
    WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, sizeof(buffer), NULL, NULL);
    return buffer;
}

// The vtable part of an interface in the type library (a dual interface is
// listed as its dispatch side).
ITypeInfo *FindInterface(ITypeLib *library, const char *name)
{
    for (UINT i = 0; i < library->GetTypeInfoCount(); i++) {
        BSTR found = NULL;
        if (FAILED(library->GetDocumentation((INT)i, &found, NULL, NULL, NULL)))
            continue;
        bool match = Narrow(found) == name;
        SysFreeString(found);
        if (!match)
            continue;
        ITypeInfo *info = NULL;
        if (FAILED(library->GetTypeInfo(i, &info)))
            return NULL;
        TYPEATTR *attributes = NULL;
        info->GetTypeAttr(&attributes);
        bool dispatchSide = attributes->typekind == TKIND_DISPATCH;
        info->ReleaseTypeAttr(attributes);
        if (dispatchSide) {
            HREFTYPE reference = 0;
            ITypeInfo *vtableSide = NULL;
            if (SUCCEEDED(info->GetRefTypeOfImplType((UINT)-1, &reference)))
                info->GetRefTypeInfo(reference, &vtableSide);
            info->Release();
            info = vtableSide;
        }
        return info;
    }
    return NULL;
}

TEST(VboxSlotsTest, TheStandInTypeLibraryHasTheSameMethodsAtTheSameSlots)
{
    std::wstring path;
    std::string narrow = BuiltProgramPath("standin_server.exe");
    path.assign(narrow.begin(), narrow.end());
    ITypeLib *library = NULL;
    ASSERT_EQ(S_OK, LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library)) << narrow;
    TLIBATTR *libraryAttributes = NULL;
    library->GetLibAttr(&libraryAttributes);
    int pointerSize = libraryAttributes->syskind == SYS_WIN64 ? 8 : 4;
    library->ReleaseTLibAttr(libraryAttributes);

    for (const SlotRow &row : Rows) {
        ITypeInfo *info = FindInterface(library, row.interfaceName);
        ASSERT_NE((ITypeInfo *)NULL, info) << row.interfaceName;
        bool getter = strncmp(row.methodName, "get_", 4) == 0;
        std::string wanted = getter ? row.methodName + 4 : row.methodName;

        TYPEATTR *attributes = NULL;
        info->GetTypeAttr(&attributes);
        int matches = 0;
        for (UINT j = 0; j < attributes->cFuncs; j++) {
            FUNCDESC *function = NULL;
            if (FAILED(info->GetFuncDesc(j, &function)))
                continue;
            BSTR name = NULL;
            UINT count = 0;
            info->GetNames(function->memid, &name, 1, &count);
            bool sameName = count == 1 && Narrow(name) == wanted;
            SysFreeString(name);
            if (sameName && (function->invkind == INVOKE_PROPERTYGET) == getter) {
                matches++;
                EXPECT_EQ(row.slot, function->oVft / pointerSize) << row.interfaceName << "::" << row.methodName;
                EXPECT_EQ(row.parameters, (unsigned)function->cParams) << row.interfaceName << "::" << row.methodName;
            }
            info->ReleaseFuncDesc(function);
        }
        info->ReleaseTypeAttr(attributes);
        info->Release();
        EXPECT_EQ(1, matches) << row.interfaceName << "::" << row.methodName << " in the type library";
    }
    library->Release();
}

} // namespace
