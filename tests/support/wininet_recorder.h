#ifndef PELORIN_WININET_RECORDER_H
#define PELORIN_WININET_RECORDER_H

// What the code linked into the test program asks of WinINet to open while
// work runs, one line per call, the calls still made:
//   "open <agent> <access> <proxy or -> <bypass or -> <flags>"
//   "url <address> <headers or -> <length> <flags in hex> <context>"
#include <functional>
#include <string>

std::string RecordWinInetOpens(const std::function<void()> &work);

#endif
