#ifndef PELORIN_PRIVATE_REGISTRY_H
#define PELORIN_PRIVATE_REGISTRY_H

// Points this process's HKEY_CURRENT_USER at a fresh key of its own while an
// instance lives, so that tests of per-user settings neither see nor change
// the prefix's, nor each other's when they run at the same time. Windows'
// own code in the process sees it too: use it only around the code tested.
#include <windows.h>

#include <string>

class PrivateCurrentUser {
public:
    PrivateCurrentUser();
    ~PrivateCurrentUser();

private:
    std::string path_;
    HKEY root_ = NULL;
};

#endif
