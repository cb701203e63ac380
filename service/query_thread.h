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
// Asks the query thread to let its VirtualBox connection go; does not wait.
void CloseQueryConnection(void);

#endif
