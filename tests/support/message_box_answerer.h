#ifndef PELORIN_MESSAGE_BOX_ANSWERER_H
#define PELORIN_MESSAGE_BOX_ANSWERER_H

// Answers the message boxes that this process shows while an instance
// lives, from a thread of its own: it reads each box's caption, text and
// buttons, then presses the planned button (IDYES, IDNO or IDOK, else the
// one there is), so that no box is left waiting.
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

class MessageBoxAnswerer {
public:
    explicit MessageBoxAnswerer(int answer);
    ~MessageBoxAnswerer();
    // Each box seen as "caption|text|buttons", the buttons as "yes no" or "ok".
    std::vector<std::string> Seen();

private:
    static DWORD WINAPI Watch(void *answerer);
    int answer_;
    volatile LONG stopping_ = 0;
    HANDLE thread_ = NULL;
    std::mutex lock_;
    std::vector<std::string> seen_;
};

#endif
