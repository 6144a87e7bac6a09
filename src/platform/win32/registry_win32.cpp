#include "platform/registry.h"

#include <windows.h>

namespace kestar::platform {
namespace {

HKEY Key(RegHandle handle) { return reinterpret_cast<HKEY>(handle); }

long WinOpenKeyEx(RegHandle root, const char* path, std::uint32_t options, std::uint32_t access, RegHandle* result) {
    HKEY opened = nullptr;
    LONG status = ::RegOpenKeyExA(Key(root), path, options, access, &opened);
    *result = status == ERROR_SUCCESS ? reinterpret_cast<RegHandle>(opened) : 0;
    return status;
}

long WinOpenKey(RegHandle parent, const char* subKey, RegHandle* result) {
    HKEY opened = nullptr;
    LONG status = ::RegOpenKeyA(Key(parent), subKey, &opened);
    *result = status == ERROR_SUCCESS ? reinterpret_cast<RegHandle>(opened) : 0;
    return status;
}

long WinCreateKeyEx(RegHandle root, const char* path, std::uint32_t options, std::uint32_t access, RegHandle* result,
                    std::uint32_t* disposition) {
    HKEY created = nullptr;
    DWORD how = 0;
    LONG status = ::RegCreateKeyExA(Key(root), path, 0, nullptr, options, access, nullptr, &created, &how);
    *result = status == ERROR_SUCCESS ? reinterpret_cast<RegHandle>(created) : 0;
    if (disposition != nullptr) *disposition = how;
    return status;
}

long WinCreateKey(RegHandle parent, const char* path, RegHandle* result) {
    HKEY created = nullptr;
    LONG status = ::RegCreateKeyA(Key(parent), path, &created);
    *result = status == ERROR_SUCCESS ? reinterpret_cast<RegHandle>(created) : 0;
    return status;
}

long WinCloseKey(RegHandle key) { return ::RegCloseKey(Key(key)); }

long WinDeleteKey(RegHandle key, const char* subKey) { return ::RegDeleteKeyA(Key(key), subKey); }

long WinQueryValueEx(RegHandle key, const char* name, std::uint32_t* type, unsigned char* data, std::uint32_t* size) {
    DWORD t = 0;
    DWORD s = size != nullptr ? *size : 0;
    LONG status = ::RegQueryValueExA(Key(key), name, nullptr, &t, data, size != nullptr ? &s : nullptr);
    if (type != nullptr) *type = t;
    if (size != nullptr) *size = s;
    return status;
}

long WinSetValueEx(RegHandle key, const char* name, std::uint32_t type, const unsigned char* data, std::uint32_t size) {
    return ::RegSetValueExA(Key(key), name, 0, type, data, size);
}

}  // namespace

RegistryOps RegistryDefaults() {
    RegistryOps ops{};
    ops.OpenKeyEx = WinOpenKeyEx;
    ops.OpenKey = WinOpenKey;
    ops.CreateKeyEx = WinCreateKeyEx;
    ops.CreateKey = WinCreateKey;
    ops.CloseKey = WinCloseKey;
    ops.DeleteKey = WinDeleteKey;
    ops.QueryValueEx = WinQueryValueEx;
    ops.SetValueEx = WinSetValueEx;
    return ops;
}

std::string RegistryStoreFolder() { return std::string(); }

std::string AppPathStandIn() { return std::string(); }

}  // namespace kestar::platform
