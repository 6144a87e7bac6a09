// A registry area of its own for each test: on Windows a fresh key under
// HKEY_CURRENT_USER, deleted with its subkeys at the end; on POSIX a store in a
// temporary folder ($KESTAR_REGISTRY points at it while the object lives).
#pragma once

#include "platform/registry.h"
#include "support/scratch_folder.h"

#include <memory>
#include <string>

namespace kestar::testing {

class ScratchRegistry {
public:
    ScratchRegistry();
    ~ScratchRegistry();
    ScratchRegistry(const ScratchRegistry&) = delete;
    ScratchRegistry& operator=(const ScratchRegistry&) = delete;

    platform::RegHandle root() const { return platform::kHkeyCurrentUser; }
    // A key path under root() that no other test uses; not created yet.
    const std::string& base() const { return base_; }

private:
    std::string base_;
    std::unique_ptr<ScratchFolder> store_;
    std::string previousStore_;
    bool hadStore_ = false;
};

// Deletes path and everything under it (the registry's own recursive delete).
void DeleteRegistryTree(platform::RegHandle root, const std::string& path);

}  // namespace kestar::testing
