// The host's App Paths entry, written the way the host's installer does, for
// tests of whole runs (Wine's registry, or the POSIX store of a ScratchRegistry).
#pragma once

#include <cstdint>
#include <string>

namespace kestar::testing {

// type: the registry type the value is written with (1: REG_SZ, as the installer writes it).
bool WriteAppPath(const std::string& directory, std::uint32_t type = 1);
void DeleteAppPath();

}  // namespace kestar::testing
