#include "private_registry.h"

PrivateCurrentUser::PrivateCurrentUser()
    : path_("Software\\Pelorin tests\\user " + std::to_string(GetCurrentProcessId()))
{
    RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
    RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &root_, NULL);
    RegOverridePredefKey(HKEY_CURRENT_USER, root_);
}

PrivateCurrentUser::~PrivateCurrentUser()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, NULL);
    RegCloseKey(root_);
    RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
}
