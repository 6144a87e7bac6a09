#include "support/scratch_registry.h"

#include "support/test_support.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kestar::testing {

void DeleteRegistryTree(platform::RegHandle root, const std::string& path) {
#if defined(_WIN32)
    RegDeleteTreeA(reinterpret_cast<HKEY>(root), path.c_str());
#else
    // Every store lives in a scratch folder that goes with the test; a key with
    // values only is all the tests leave outside their own base key.
    platform::Registry().DeleteKey(root, path.c_str());
#endif
}

ScratchRegistry::ScratchRegistry() {
    static unsigned counter = 0;
#if defined(_WIN32)
    base_ = "Software\\KestarTests\\" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
#else
    base_ = "Software\\KestarTests\\" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    store_ = std::make_unique<ScratchFolder>();
    const char* previous = std::getenv("KESTAR_REGISTRY");
    hadStore_ = previous != nullptr;
    if (hadStore_) previousStore_ = previous;
    SetEnvironment("KESTAR_REGISTRY", store_->path().c_str());
#endif
}

ScratchRegistry::~ScratchRegistry() {
#if defined(_WIN32)
    DeleteRegistryTree(root(), base_);
#else
    SetEnvironment("KESTAR_REGISTRY", hadStore_ ? previousStore_.c_str() : nullptr);
#endif
}

}  // namespace kestar::testing
