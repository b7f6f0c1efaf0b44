#include "RegistryRoot.h"
#include <windows.h>
#include <stdexcept>

namespace tools {

std::string RedirectMachineRegistry() {
    char root[512];
    DWORD n = GetEnvironmentVariableA("PENNARK_REGISTRY_ROOT", root, sizeof root);
    if (n == 0 || n >= sizeof root) return std::string();
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, root, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create HKEY_CURRENT_USER\\" + std::string(root));
    const char cryptography[] = "Software\\Microsoft\\Cryptography";
    HKEY crypto = nullptr;
    if (RegCreateKeyExA(key, cryptography, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &crypto, nullptr) == ERROR_SUCCESS) {
        RegCopyTreeA(HKEY_LOCAL_MACHINE, cryptography, crypto);
        RegCloseKey(crypto);
    }
    LONG redirected = RegOverridePredefKey(HKEY_LOCAL_MACHINE, key);
    RegCloseKey(key);
    if (redirected != ERROR_SUCCESS)
        throw std::runtime_error("cannot redirect HKEY_LOCAL_MACHINE to HKEY_CURRENT_USER\\" + std::string(root));
    return root;
}

}  // namespace tools
