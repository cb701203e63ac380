// The VirtualBox API generations the service can talk to: identifiers,
// method positions and machine state numbers, as each generation's own
// interface definitions lay them out.
#include "vbox_api.h"

// The positions, in the order of VboxMethod.
#define POSITIONS(getVersion, getHomeFolder, findMachine, getId, getVrdeServer, getSessionPid, getState,         \
                  lockMachine, machineSaveState, getMachine, getConsole, unlockMachine, getDisplay,                \
                  getVrdeServerInfo, powerDown, powerButton, sleepButton, consoleSaveState, waitForCompletion,     \
                  getEnabled, getPort, getScreenResolution)                                                        \
    { getVersion, getHomeFolder, findMachine, getId, getVrdeServer, getSessionPid, getState, lockMachine,          \
      machineSaveState, getMachine, getConsole, unlockMachine, getDisplay, getVrdeServerInfo, powerDown,           \
      powerButton, sleepButton, consoleSaveState, waitForCompletion, getEnabled, getPort, getScreenResolution }

// Aborted, AbortedSaved, Running, Paused, Starting, Stopping, Saving, Restoring.
#define STATES_BEFORE_7_0 { 4, VBOX_NO_STATE, 5, 6, 10, 11, 12, 13 }
#define STATES_FROM_7_0 { 4, 5, 6, 7, 11, 12, 13, 14 }

#define SESSION_FROM_6_1 { 0xC0447716, 0xFF5A, 0x4795, { 0xB5, 0x7A, 0xEC, 0xD5, 0xFF, 0xFA, 0x18, 0xA4 } }

// 7.2 changed identifiers but moved no method.
#define POSITIONS_FROM_7_1 POSITIONS(7, 13, 53, 16, 51, 64, 65, 139, 205, 11, 12, 21, 12, 17, 33, 37, 38, 0, 37, 7, 8, 24)

const VboxGeneration VboxGenerations[] = {
    { "7.2",
      { 0x2CE10519, 0x3C09, 0x45D8, { 0xA1, 0x2D, 0xE8, 0x87, 0x78, 0x61, 0x46, 0xB7 } },
      SESSION_FROM_6_1, POSITIONS_FROM_7_1, STATES_FROM_7_0, SaveStateOnSessionMachine, 1 },
    { "7.1",
      { 0xD644AD1E, 0xC501, 0x4FC7, { 0x9A, 0xB6, 0xAA, 0x6D, 0x76, 0x3B, 0xC5, 0x40 } },
      SESSION_FROM_6_1, POSITIONS_FROM_7_1, STATES_FROM_7_0, SaveStateOnSessionMachine, 1 },
    { "7.0",
      { 0x7682D5EB, 0xF00E, 0x44F1, { 0x8C, 0xA2, 0x99, 0xD0, 0x8B, 0x1C, 0xD6, 0x07 } },
      SESSION_FROM_6_1,
      POSITIONS(7, 13, 51, 16, 58, 71, 72, 146, 221, 11, 12, 21, 12, 17, 33, 37, 38, 0, 37, 7, 8, 24),
      STATES_FROM_7_0, SaveStateOnSessionMachine, 1 },
    { "6.1",
      { 0xD0A0163F, 0xE254, 0x4E5B, { 0xA1, 0xF2, 0x01, 0x1C, 0xF9, 0x91, 0xC3, 0x8D } },
      SESSION_FROM_6_1,
      POSITIONS(7, 13, 50, 16, 54, 67, 68, 137, 212, 11, 12, 21, 12, 17, 33, 37, 38, 0, 37, 7, 8, 24),
      STATES_BEFORE_7_0, SaveStateOnSessionMachine, 1 },
    { "5.2",
      { 0x9570B9D5, 0xF1A1, 0x448A, { 0x10, 0xC5, 0xE1, 0x2F, 0x52, 0x85, 0xAD, 0xAD } },
      { 0x7844AA05, 0xB02E, 0x4CDD, { 0xA0, 0x4F, 0xAD, 0xE4, 0xA7, 0x62, 0xE6, 0xB7 } },
      POSITIONS(7, 13, 48, 16, 82, 95, 96, 166, 240, 11, 12, 17, 12, 17, 33, 37, 38, 0, 29, 7, 8, 10),
      STATES_BEFORE_7_0, SaveStateOnSessionMachine, 1 },
    { "4.0",
      { 0xD2DE270C, 0x1D4B, 0x4C9E, { 0x84, 0x3F, 0xBB, 0xB9, 0xB4, 0x72, 0x69, 0xFF } },
      { 0x12F4DCDB, 0x12B2, 0x4EC1, { 0xB7, 0xCD, 0xDD, 0xD9, 0xF6, 0xC5, 0xBF, 0x4D } },
      POSITIONS(7, 10, 29, 14, 54, 63, 64, 102, 0, 0, 10, 11, 12, 17, 22, 26, 27, 30, 26, 7, 8, 7),
      STATES_BEFORE_7_0, SaveStateOnConsole, 0 },
};

const int VboxGenerationCount = sizeof(VboxGenerations) / sizeof(VboxGenerations[0]);
