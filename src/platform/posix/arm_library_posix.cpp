#include "platform/arm_library.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>

namespace kestar::platform {

void* ArmLibrarySymbol(void* handle, const char* name) { return dlsym(handle, name); }

void* OpenSystemArmLibrary(std::string& file, std::string& problem) {
    const char* path = std::getenv("KESTAR_ARM_LIBRARY");
    if (path == nullptr || *path == '\0') path = "libzuroz.so";
    // Kept loaded for the life of the process, as the module holds its calls.
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        problem = std::string("arm library ") + path + " could not be loaded: " + (why ? why : "unknown error");
        return nullptr;
    }
    link_map* map = nullptr;
    file = dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr ? map->l_name : path;
    return handle;
}

bool SystemLoadArmLibrary(ArmLibrary& arm, std::string& problem) {
    std::string file;
    void* handle = OpenSystemArmLibrary(file, problem);
    if (handle == nullptr) return false;
    arm = ResolveArmLibrary(ArmLibrarySymbol, handle);
    return true;
}

bool GuardedArmCall(void (*call)(void* context), void* context, unsigned long& exceptionCode) {
    exceptionCode = 0;
    call(context);
    return true;
}

}  // namespace kestar::platform
