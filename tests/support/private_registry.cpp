#include "private_registry.h"

PrivateCurrentUser::PrivateCurrentUser(const std::vector<std::string> &keys)
    : path_("Software\\Pelorin tests\\user " + std::to_string(GetCurrentProcessId()))
{
    RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
    RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &root_, NULL);
    RegOverridePredefKey(HKEY_CURRENT_USER, root_);
    for (const std::string &key : keys) {
        HKEY made = NULL;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &made, NULL) == 0)
            RegCloseKey(made);
    }
}

PrivateCurrentUser::~PrivateCurrentUser()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, NULL);
    RegCloseKey(root_);
    RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
}

std::string ReadRegistryValue(HKEY root, const std::string &key, const std::string &name)
{
    char data[1024];
    DWORD size = sizeof(data), type = 0;
    if (RegGetValueA(root, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) != 0)
        return "(none)";
    return (type == REG_SZ ? "" : "(type " + std::to_string(type) + ") ") + std::string(data, size);
}

void WriteRegistryText(HKEY root, const std::string &key, const std::string &name, const std::string &text)
{
    RegSetKeyValueA(root, key.c_str(), name.c_str(), REG_SZ, text.c_str(), (DWORD)text.size() + 1);
}
