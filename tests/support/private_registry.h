#ifndef PELORIN_PRIVATE_REGISTRY_H
#define PELORIN_PRIVATE_REGISTRY_H

// Points this process's HKEY_CURRENT_USER at a fresh key of its own while an
// instance lives, so that tests of per-user settings neither see nor change
// the prefix's, nor each other's when they run at the same time. Windows'
// own code in the process sees it too: use it only around the code tested.
#include <windows.h>

#include <string>
#include <vector>

class PrivateCurrentUser {
public:
    // The keys given are made in it, as a user's profile would hold them.
    explicit PrivateCurrentUser(const std::vector<std::string> &keys = {});
    ~PrivateCurrentUser();

private:
    std::string path_;
    HKEY root_ = NULL;
};

// A registry value's bytes as stored, "(type N) " before them when it is not
// REG_SZ, or "(none)".
std::string ReadRegistryValue(HKEY root, const std::string &key, const std::string &name);
// Writes text and its terminating zero as REG_SZ, creating the key.
void WriteRegistryText(HKEY root, const std::string &key, const std::string &name, const std::string &text);

#endif
