// The registry: keys under predefined roots, values with a type and bytes.
//
// The table speaks the Win32 registry's terms: handles, access masks, type numbers
// and status codes (0 is success). Windows: the Reg*A calls themselves. POSIX: a
// store under $KESTAR_REGISTRY (default $XDG_CONFIG_HOME/kestar/registry, else
// $HOME/.config/kestar/registry), one folder a key, one file a value, names matched
// without regard to case, every value written to a side file and renamed into place.
#pragma once

#include "platform/scoped_ops.h"

#include <cstdint>
#include <string>

namespace kestar::platform {

// A 32-bit registry handle; the predefined roots have their Windows values.
using RegHandle = std::uintptr_t;

constexpr RegHandle kHkeyClassesRoot = 0x80000000u;
constexpr RegHandle kHkeyCurrentUser = 0x80000001u;
constexpr RegHandle kHkeyLocalMachine = 0x80000002u;
constexpr RegHandle kHkeyUsers = 0x80000003u;

constexpr std::uint32_t kKeyRead = 0x20019u;       // KEY_READ
constexpr std::uint32_t kKeyAllAccess = 0xF003Fu;  // KEY_ALL_ACCESS

constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;

// Status codes of the registry calls: the Win32 error numbers.
constexpr long kRegSuccess = 0;
constexpr long kRegFileNotFound = 2;
constexpr long kRegAccessDenied = 5;
constexpr long kRegInvalidHandle = 6;
constexpr long kRegOutOfMemory = 14;
constexpr long kRegInvalidParameter = 87;
constexpr long kRegBadPathname = 161;
constexpr long kRegMoreData = 234;

struct RegistryOps {
    long (*OpenKeyEx)(RegHandle root, const char* path, std::uint32_t options, std::uint32_t access, RegHandle* result);
    long (*OpenKey)(RegHandle parent, const char* subKey, RegHandle* result);
    long (*CreateKeyEx)(RegHandle root, const char* path, std::uint32_t options, std::uint32_t access,
                        RegHandle* result, std::uint32_t* disposition);
    long (*CreateKey)(RegHandle parent, const char* path, RegHandle* result);
    long (*CloseKey)(RegHandle key);
    long (*DeleteKey)(RegHandle key, const char* subKey);
    // data null: type and size only. A size too small: kRegMoreData, size set to the need.
    long (*QueryValueEx)(RegHandle key, const char* name, std::uint32_t* type, unsigned char* data,
                         std::uint32_t* size);
    long (*SetValueEx)(RegHandle key, const char* name, std::uint32_t type, const unsigned char* data,
                       std::uint32_t size);
};

// The table in use.
RegistryOps& Registry();

// The system's own table, to restore after a test.
RegistryOps RegistryDefaults();

using ScopedRegistryOps = ScopedOps<RegistryOps, Registry>;

// POSIX: the folder of the store ($KESTAR_REGISTRY read at each call, so a test can
// point it at a temporary folder). Windows: empty.
std::string RegistryStoreFolder();

// What stands in for the host's App Paths entry where the registry has none.
// POSIX: $KESTAR_INSTALL_DIR (empty when unset). Windows: always empty.
std::string AppPathStandIn();

}  // namespace kestar::platform
