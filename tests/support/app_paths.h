// The host's App Paths entry, written the way the host's installer does, for
// tests of whole runs (Wine's registry, or the POSIX store of a ScratchRegistry).
#pragma once

#include <string>

namespace kestar::testing {

bool WriteAppPath(const std::string& directory);
void DeleteAppPath();

}  // namespace kestar::testing
