#ifndef PELORIN_VM_QUERIES_H
#define PELORIN_VM_QUERIES_H

#include <windows.h>

#include "vbox_api.h"

// The control pipe's answers about the machine's remote display, each through
// the caller's own VirtualBox connection; 0 when anything fails. lookup, when
// given, receives the result of looking the machine up: a connection whose
// server has gone shows there.

// 1 when the VRDE server is enabled in the machine's settings; needs no lock.
DWORD QueryVrdeEnabled(IVirtualBox *virtualBox, const char *name, HRESULT *lookup = NULL);
// The port the running machine's VRDE server listens on.
DWORD QueryVrdePort(IVirtualBox *virtualBox, ISession *session, const char *name, HRESULT *lookup = NULL);
// Screen 0 of the running machine: height in the high 16 bits, width in the low.
DWORD QueryScreenResolution(IVirtualBox *virtualBox, ISession *session, const char *name,
                            HRESULT *lookup = NULL);

#endif
