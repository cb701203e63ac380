#ifndef PELORIN_STANDIN_GENERATION_H
#define PELORIN_STANDIN_GENERATION_H

// The VirtualBox API generations that the stand-in serves. The table itself
// (StandinGenerations) is generated from generations.txt, as is the IDL of
// the interfaces, so that the type library and the method tables of the
// server and the session DLL come from one description.

#include <windows.h>

#include "standin_generation_table.h"

struct StandinSlot {
    int position;
    StandinMethodId method;
};

// One interface of one generation.
struct StandinInterfaceLayout {
    const char *name;       // as the journal names it: "IMachine"
    GUID iid;               // the generation's identifier
    // The identifier under which the type library declares this generation's
    // layout: iid, or a private copy's where an earlier generation's
    // declaration of iid hands out other interfaces. Objects answer both.
    GUID marshalIid;
    int lastPosition;
    const StandinSlot *slots;
    int slotCount;
    int index;              // 0 to STANDIN_LAYOUT_COUNT - 1
};

// What a failed save leaves behind.
enum StandinFailedSave {
    StandinFailedSave_Paused,    // the machine paused before it saved, and stays so (4.0)
    StandinFailedSave_Restored,  // the state from before the save (5.2, 6.1, 7.2)
    StandinFailedSave_Saving     // the call succeeds, the progress fails with E_FAIL, the state stays Saving (7.0, 7.1)
};

struct StandinGeneration {
    const char *name;                          // "7.1"
    long states[StandinStateCount];            // MachineState numbers; -1 where the generation has none
    int savePausesFirst;                       // a running machine goes Paused, then Saving
    StandinFailedSave failedSave;
    StandinInterfaceLayout interfaces[StandinInterfaceCount];
};

extern const StandinGeneration StandinGenerations[STANDIN_GENERATION_COUNT];

// The word for a VirtualBox that answers no IVirtualBox identifier.
#define STANDIN_NO_GENERATION "none"
#define STANDIN_DEFAULT_GENERATION "4.0"

// A generation's name or STANDIN_NO_GENERATION.
int IsStandinGenerationWord(const char *word);
// NULL for STANDIN_NO_GENERATION and for any word that names no generation.
const StandinGeneration *FindStandinGeneration(const char *name);
// The generation chosen in the catalogue now (NULL: none).
const StandinGeneration *ReadChosenStandinGeneration(void);
// The generations' rules speak of states; the catalogue holds their numbers.
long StandinStateNumber(const StandinGeneration *generation, StandinState state);
// StandinStateCount for a number that the stand-in does not know.
StandinState StandinStateOf(const StandinGeneration *generation, long number);

#endif
