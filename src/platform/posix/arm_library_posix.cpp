#include "platform/arm_library.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>

namespace kestar::platform {

void* ArmLibrarySymbol(void* handle, const char* name) { return dlsym(handle, name); }

std::vector<std::string> ArmLibraryCandidates(const std::string&, const std::string&) {
    const char* path = std::getenv("KESTAR_ARM_LIBRARY");
    return {path != nullptr && *path != '\0' ? path : "libzuroz.so"};
}

void* OpenArmLibraryFrom(const std::vector<std::string>& candidates, std::string& file, std::string& problem) {
    for (const std::string& candidate : candidates) {
        // Kept loaded for the life of the process, as the module holds its calls.
        void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = dlerror();
            problem = "arm library " + candidate + " could not be loaded: " + (why ? why : "unknown error");
            continue;
        }
        link_map* map = nullptr;
        file = dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr ? map->l_name
                                                                                                  : candidate;
        return handle;
    }
    return nullptr;
}

void* OpenSystemArmLibrary(std::string& file, std::string& problem) {
    return OpenArmLibraryFrom(ArmLibraryCandidates(std::string(), std::string()), file, problem);
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
