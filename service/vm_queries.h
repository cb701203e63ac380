#ifndef PELORIN_VM_QUERIES_H
#define PELORIN_VM_QUERIES_H

#include <windows.h>

#include "vbox_api.h"

// The control pipe's answers about the machine's remote display; 0 when
// anything fails. result, when given, receives the result of the call that
// decided the answer: a connection whose server has gone shows there.

// The query thread keeps what every question needs from one question to the
// next, and lets it all go when a call fails or the machine stops running.
struct KeptQueryObjects {
    IMachine *machine;
    IVRDEServer *vrdeServer;
    IConsole *console;          // under a shared lock of the session, while the machine runs
    IVRDEServerInfo *vrdeServerInfo;
    IDisplay *display;
};

// 1 when the VRDE server is enabled in the machine's settings; needs no lock.
DWORD ReadVrdeEnabled(struct KeptQueryObjects *kept, HRESULT *result);
// The port the running machine's VRDE server listens on; the session is the
// one whose lock the kept console is under.
DWORD ReadVrdePort(struct KeptQueryObjects *kept, ISession *session, HRESULT *result);
// Screen 0 of the running machine: height in the high 16 bits, width in the low.
DWORD ReadScreenResolution(struct KeptQueryObjects *kept, ISession *session, HRESULT *result);
// Gives the lock back and releases everything kept but the machine.
void LetGoOfConsole(struct KeptQueryObjects *kept, ISession *session);
// And the machine too.
void LetGoOfQueryObjects(struct KeptQueryObjects *kept, ISession *session);

// The same, each from scratch: the machine looked up by name through the
// caller's connection, nothing kept.
DWORD QueryVrdeEnabled(IVirtualBox *virtualBox, const char *name, HRESULT *result = NULL);
DWORD QueryVrdePort(IVirtualBox *virtualBox, ISession *session, const char *name, HRESULT *result = NULL);
DWORD QueryScreenResolution(IVirtualBox *virtualBox, ISession *session, const char *name, HRESULT *result = NULL);

#endif
