#ifndef PELORIN_VBOX_SESSION_H
#define PELORIN_VBOX_SESSION_H

#include "vbox_api.h"

// The supervisor's connection, used for starting and stopping the machine.
// Pipe requests open private ones and never touch these.
extern IVirtualBox *ServiceVirtualBox;
extern ISession *ServiceSession;

// Connects ServiceVirtualBox, then creates ServiceSession.
HRESULT OpenVirtualBox(void);
// Releases ServiceSession and disconnects ServiceVirtualBox.
void CloseVirtualBox(void);
// The same in two steps: the log line first, the releases later (after the
// service's final report, which a hanging VirtualBox must not hold back).
void LogClosingVirtualBox(void);
void ReleaseVirtualBox(void);

// Initialises COM (single-threaded apartment) on the calling thread and creates
// the VirtualBox object. Balance every call with DisconnectVirtualBox, also
// after a failure.
HRESULT ConnectVirtualBox(IVirtualBox **virtualBox);
void DisconnectVirtualBox(IVirtualBox **virtualBox);
HRESULT CreateSession(ISession **session);

// The caller frees the result with SysFreeString.
BSTR ToBstr(const char *text);

// Converts a wide text with the ANSI code page into buffer. Returns 1 when it
// fitted whole; otherwise 0 and an empty buffer.
int CopyToAnsi(const wchar_t *text, char *buffer, int size);

// 1 when the machine is registered; *machine then holds a reference to
// release. The lookup's result goes to *result when it is given.
int FindMachine(IVirtualBox *virtualBox, const char *name, IMachine **machine, HRESULT *result = NULL);

// Results that say VirtualBox's server has gone (it died, or was restarted),
// not that the call failed.
int IsServerGone(HRESULT result);

#endif
