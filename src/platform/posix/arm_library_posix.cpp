#include "platform/arm_library.h"

#include <dlfcn.h>

#include <cstdlib>

namespace kestar::platform {
namespace {

void* LookupSymbol(void* handle, const char* name) { return dlsym(handle, name); }

}  // namespace

bool SystemLoadArmLibrary(ArmLibrary& arm, std::string& problem) {
    const char* path = std::getenv("KESTAR_ARM_LIBRARY");
    if (path == nullptr || *path == '\0') path = "libzuroz.so";
    // Kept loaded for the life of the process, as the module holds its calls.
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        problem = std::string("arm library ") + path + " could not be loaded: " + (why ? why : "unknown error");
        return false;
    }
    arm = ResolveArmLibrary(LookupSymbol, handle);
    return true;
}

bool GuardedArmCall(void (*call)(void* context), void* context, unsigned long& exceptionCode) {
    exceptionCode = 0;
    call(context);
    return true;
}

}  // namespace kestar::platform
