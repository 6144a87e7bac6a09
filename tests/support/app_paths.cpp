#include "support/app_paths.h"

#include "platform/registry.h"
#include "settings/install_directory.h"
#include "support/scratch_registry.h"

#include <cstdint>

namespace kestar::testing {

bool WriteAppPath(const std::string& directory, std::uint32_t type) {
    platform::RegHandle key = 0;
    if (platform::Registry().CreateKeyEx(platform::kHkeyLocalMachine, kAppPathsKey, 0, platform::kKeyAllAccess, &key,
                                         nullptr) != platform::kRegSuccess)
        return false;
    const long written = platform::Registry().SetValueEx(key, kAppPathValue, type,
                                                         reinterpret_cast<const unsigned char*>(directory.c_str()),
                                                         static_cast<std::uint32_t>(directory.size() + 1));
    platform::Registry().CloseKey(key);
    return written == platform::kRegSuccess;
}

void DeleteAppPath() { DeleteRegistryTree(platform::kHkeyLocalMachine, kAppPathsKey); }

}  // namespace kestar::testing
