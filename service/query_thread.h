#ifndef PELORIN_QUERY_THREAD_H
#define PELORIN_QUERY_THREAD_H

#include <windows.h>

// The control pipe's answers, worked out one at a time on one long-lived
// thread through one VirtualBox connection that is kept while it works.

// The reply to a request code; 0 (the failure value) when the answer has not
// come within waitMs, for example behind a VirtualBox call that hangs, or
// once stop is signalled. The request itself is never cut short: a late
// answer is dropped.
DWORD AnswerControlRequest(DWORD request, DWORD waitMs, HANDLE stop);
// Asks the query thread to open its VirtualBox connection now, so that the
// first request after the start is answered like any other; does not wait.
void OpenQueryConnection(void);
// Asks the query thread to let its VirtualBox connection go for good: no
// later request connects again. Does not wait.
void CloseQueryConnection(void);
// After CloseQueryConnection: waits at most waitMs for the query thread to
// have let the connection go (at once when the thread never ran).
void WaitForQueryThread(DWORD waitMs);

#endif
