#ifndef PELORIN_SHELL_EXECUTE_RECORDER_H
#define PELORIN_SHELL_EXECUTE_RECORDER_H

// Records what the code linked into the test program hands to
// ShellExecuteExA, while an instance lives. Only when passOn is set do the
// calls reach Windows: addresses must never reach a browser.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

struct ShellExecuteCall {
    DWORD size;
    ULONG mask;
    std::string verb, file, parameters, className;
    int show;
};

class ShellExecuteRecorder {
public:
    explicit ShellExecuteRecorder(bool passOn);
    ~ShellExecuteRecorder();
    std::vector<ShellExecuteCall> calls;
    // Each call as "verb|file|parameters|class|mask|show"; "(null)" for a
    // missing text, the class only with SEE_MASK_CLASSNAME, and "bad size"
    // first when cbSize is not the record's size.
    std::vector<std::string> Lines() const;

private:
    static BOOL WINAPI Record(SHELLEXECUTEINFOA *execute);
    bool passOn_;
    void *previous_;
};

#endif
