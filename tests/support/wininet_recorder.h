#ifndef PELORIN_WININET_RECORDER_H
#define PELORIN_WININET_RECORDER_H

// What the code linked into the test program asks of WinINet to open and
// set while work runs, one line per call, the calls still made:
//   "open <agent> <access> <proxy or -> <bypass or -> <flags in hex>"
//   "option <number> <value>" (a DWORD option)
//   "connect <server> <port> <user or -> <password or -> <service> <flags in hex> <context or no context>"
//   "request <verb> <object> <version or -> <referrer or -> <accept or -> <flags in hex> <context or no context>"
#include <functional>
#include <string>

std::string RecordWinInetOpens(const std::function<void()> &work);

#endif
