#ifndef PELORIN_STANDIN_SERVER_H
#define PELORIN_STANDIN_SERVER_H

// What the parts of the stand-in's COM server share.

#include <windows.h>

#include "com_object.h"
#include "standin.h"
#include "standin_generation.h"
#include "standin_journal.h"

// Set when the server is ending: pending delays end early.
extern HANDLE ServerEndingEvent;

void NoteServerActivity(void);
void CountServerObject(int change);
// With restart, the server starts a fresh copy of itself once it has ended.
void RequestServerShutdown(int restart);

// One object of ours marshaled under every interface the server hands out,
// for the server's life: Wine would otherwise unregister an interface whose
// last stub goes while its calls are in progress, and hang the server.
void PinInterfaceRegistrations(void);
void UnpinInterfaceRegistrations(void);

// The class factory of the VirtualBox object.
IClassFactory *NewVirtualBoxFactory(void);

// A running stop's progress object of the generation, with one reference.
StandinObject *NewProgressObject(const StandinGeneration *generation, const char *machineName);
// Ends every wait on the progress object (the first result counts).
void CompleteProgress(StandinObject *progress, HRESULT result);

// The machines' runtime: attached VBoxHeadless stand-ins and stops under way.
enum StopOperation { StopNone = 0, StopPowerDown = 1, StopSaveState = 2, StopGuest = 3 };
void InitializeMachineRuns(void);
// Serves an ATTACH request on its pipe connection until that process ends.
void ServeHeadlessAttachment(HANDLE pipe, DWORD pid, const char *uuid);
// Both write the call's journal line once the outcome is decided. The
// generation is the caller's: it numbers the states that the call reads and sets.
HRESULT StartMachineStop(const StandinGeneration *generation, const char *machineName, StopOperation operation,
                         void **progress, JournalLine *line);
HRESULT PressMachineButton(const StandinGeneration *generation, const char *machineName, const char *button,
                           JournalLine *line);
// States in which a machine has a console to lock and talk to.
int IsOnlineState(StandinState state);
// Ends every attached VBoxHeadless stand-in, waits for them, aborts pending
// operations and forgets the runtime.
void EndAllMachines(void);
int CountAttachedHeadless(void);

// The control pipe; the first instance is made before the thread starts, so
// that a second server notices the first.
HANDLE CreateFirstControlPipe(void);
void StartControlPipeThread(HANDLE firstPipe);

// The VirtualBox class is served by server (NULL: this program).
int RegisterStandin(const char *server);
int UnregisterStandin(void);

// Converts between the ANSI code page and BSTRs.
BSTR NewBstrFromAnsi(const char *text);
void CopyBstrToAnsi(BSTR text, char *target, size_t size);

#endif
