// Each VirtualBox API generation's description against the numbers of the
// reference that was read from VirtualBox's own interface definitions: the
// identifiers, every method's position and the machine states.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "standin_generation.h"
#include "vbox_api.h"

namespace {

const char *const Generations[] = { "4.0", "5.2", "6.1", "7.0", "7.1", "7.2" };

struct PositionRow {
    VboxMethod method;
    const char *name;
    unsigned short positions[6];  // in the order of Generations; 0: the generation has no such method
};

const PositionRow Positions[] = {
    { VirtualBoxGetVersion, "IVirtualBox::get_Version", { 7, 7, 7, 7, 7, 7 } },
    { VirtualBoxGetHomeFolder, "IVirtualBox::get_HomeFolder", { 10, 13, 13, 13, 13, 13 } },
    { VirtualBoxFindMachine, "IVirtualBox::FindMachine", { 29, 48, 50, 51, 53, 53 } },
    { MachineGetId, "IMachine::get_Id", { 14, 16, 16, 16, 16, 16 } },
    { MachineGetVrdeServer, "IMachine::get_VRDEServer", { 54, 82, 54, 58, 51, 51 } },
    { MachineGetSessionPid, "IMachine::get_SessionPID", { 63, 95, 67, 71, 64, 64 } },
    { MachineGetState, "IMachine::get_State", { 64, 96, 68, 72, 65, 65 } },
    { MachineLockMachine, "IMachine::LockMachine", { 102, 166, 137, 146, 139, 139 } },
    { MachineSaveState, "IMachine::SaveState", { 0, 240, 212, 221, 205, 205 } },
    { SessionGetMachine, "ISession::get_Machine", { 0, 11, 11, 11, 11, 11 } },
    { SessionGetConsole, "ISession::get_Console", { 10, 12, 12, 12, 12, 12 } },
    { SessionUnlockMachine, "ISession::UnlockMachine", { 11, 17, 21, 21, 21, 21 } },
    { ConsoleGetDisplay, "IConsole::get_Display", { 12, 12, 12, 12, 12, 12 } },
    { ConsoleGetVrdeServerInfo, "IConsole::get_VRDEServerInfo", { 17, 17, 17, 17, 17, 17 } },
    { ConsolePowerDown, "IConsole::PowerDown", { 22, 33, 33, 33, 33, 33 } },
    { ConsolePowerButton, "IConsole::PowerButton", { 26, 37, 37, 37, 37, 37 } },
    { ConsoleSleepButton, "IConsole::SleepButton", { 27, 38, 38, 38, 38, 38 } },
    { ConsoleSaveState, "IConsole::SaveState", { 30, 0, 0, 0, 0, 0 } },
    { ConsoleGetGuestEnteredAcpiMode, "IConsole::GetGuestEnteredACPIMode", { 29, 40, 40, 40, 40, 40 } },
    { ProgressGetCompleted, "IProgress::get_Completed", { 13, 13, 13, 13, 13, 13 } },
    { ProgressGetResultCode, "IProgress::get_ResultCode", { 15, 15, 15, 15, 15, 15 } },
    { ProgressWaitForCompletion, "IProgress::WaitForCompletion", { 26, 29, 37, 37, 37, 37 } },
    { VrdeServerGetEnabled, "IVRDEServer::get_Enabled", { 7, 7, 7, 7, 7, 7 } },
    { VrdeServerInfoGetPort, "IVRDEServerInfo::get_Port", { 8, 8, 8, 8, 8, 8 } },
    { DisplayGetScreenResolution, "IDisplay::GetScreenResolution", { 7, 10, 24, 24, 24, 24 } },
};

struct GenerationRow {
    const char *virtualBoxIid;
    const char *sessionIid;
    // PoweredOff, Saved, Aborted, AbortedSaved (0xFFFFFFFF: none), Running, Paused, Stuck, Starting, Stopping,
    // Saving, Restoring
    ULONG states[VboxStateCount];
};

const GenerationRow Identities[] = {
    { "{D2DE270C-1D4B-4C9E-843F-BBB9B47269FF}", "{12F4DCDB-12B2-4EC1-B7CD-DDD9F6C5BF4D}",
      { 1, 2, 4, 0xFFFFFFFF, 5, 6, 7, 10, 11, 12, 13 } },
    { "{9570B9D5-F1A1-448A-10C5-E12F5285ADAD}", "{7844AA05-B02E-4CDD-A04F-ADE4A762E6B7}",
      { 1, 2, 4, 0xFFFFFFFF, 5, 6, 7, 10, 11, 12, 13 } },
    { "{D0A0163F-E254-4E5B-A1F2-011CF991C38D}", "{C0447716-FF5A-4795-B57A-ECD5FFFA18A4}",
      { 1, 2, 4, 0xFFFFFFFF, 5, 6, 7, 10, 11, 12, 13 } },
    { "{7682D5EB-F00E-44F1-8CA2-99D08B1CD607}", "{C0447716-FF5A-4795-B57A-ECD5FFFA18A4}",
      { 1, 2, 4, 5, 6, 7, 8, 11, 12, 13, 14 } },
    { "{D644AD1E-C501-4FC7-9AB6-AA6D763BC540}", "{C0447716-FF5A-4795-B57A-ECD5FFFA18A4}",
      { 1, 2, 4, 5, 6, 7, 8, 11, 12, 13, 14 } },
    { "{2CE10519-3C09-45D8-A12D-E887786146B7}", "{C0447716-FF5A-4795-B57A-ECD5FFFA18A4}",
      { 1, 2, 4, 5, 6, 7, 8, 11, 12, 13, 14 } },
};

std::string Text(const IID &iid)
{
    wchar_t wide[64];
    char narrow[64];
    StringFromGUID2(iid, wide, 64);
    WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof(narrow), NULL, NULL);
    return narrow;
}

TEST(VboxGenerationsTest, EachDescriptionHoldsTheReferenceNumbers)
{
    ASSERT_EQ(6, VboxGenerationCount);
    for (int g = 0; g < 6; g++) {
        const VboxGeneration *found = NULL;
        for (int i = 0; i < VboxGenerationCount; i++) {
            if (strcmp(VboxGenerations[i].name, Generations[g]) == 0)
                found = &VboxGenerations[i];
        }
        ASSERT_NE((const VboxGeneration *)NULL, found) << Generations[g];
        for (const PositionRow &row : Positions)
            EXPECT_EQ(row.positions[g], found->positions[row.method]) << Generations[g] << " " << row.name;
        EXPECT_EQ(Identities[g].virtualBoxIid, Text(found->iids[VboxIVirtualBox])) << Generations[g];
        EXPECT_EQ(Identities[g].sessionIid, Text(found->iids[VboxISession])) << Generations[g];
        for (int state = 0; state < VboxStateCount; state++)
            EXPECT_EQ(Identities[g].states[state], found->states[state]) << Generations[g] << " state " << state;
        // The generations that moved SaveState to the machine also gave GetScreenResolution its origin.
        bool oldest = g == 0;
        EXPECT_EQ(oldest ? SaveStateOnConsole : SaveStateOnSessionMachine, found->saveStateHolder) << Generations[g];
        EXPECT_EQ(oldest ? 0 : 1, found->screenResolutionHasOrigin) << Generations[g];
    }
    // Asked newest first.
    EXPECT_STREQ("7.2", VboxGenerations[0].name);
    EXPECT_STREQ("4.0", VboxGenerations[VboxGenerationCount - 1].name);
}

// Every interface's identifier, as the stand-in's description (written
// from the same reference, the six 4.0 values included) has it.
TEST(VboxGenerationsTest, EveryInterfaceOfEveryGenerationHasTheReferenceIdentifier)
{
    for (const StandinGeneration &reference : StandinGenerations) {
        const VboxGeneration *found = NULL;
        for (int i = 0; i < VboxGenerationCount; i++)
            found = strcmp(VboxGenerations[i].name, reference.name) == 0 ? &VboxGenerations[i] : found;
        ASSERT_NE((const VboxGeneration *)NULL, found) << reference.name;
        int compared = 0;
        for (const StandinInterfaceLayout &layout : reference.interfaces) {
            for (int kind = 0; kind < VboxInterfaceCount; kind++) {
                if (strcmp(layout.name, VboxInterfaceNames[kind]) != 0)
                    continue;
                EXPECT_EQ(Text(layout.iid), Text(found->iids[kind])) << reference.name << " " << layout.name;
                compared++;
            }
        }
        EXPECT_EQ(VboxInterfaceCount, compared) << reference.name;
    }
}

} // namespace
