#include "platform/arm_library.h"

#include <dlfcn.h>
#include <link.h>

#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace kestar::platform {

void* ArmLibrarySymbol(void* handle, const char* name) { return dlsym(handle, name); }

namespace {

constexpr const char* kArmLibraryName = "libzuroz.so";

std::string FolderOf(const std::string& file) {
    const std::size_t separator = file.rfind('/');
    if (separator == std::string::npos) return std::string();
    return separator == 0 ? std::string("/") : file.substr(0, separator);
}

}  // namespace

std::vector<std::string> ArmLibraryCandidates(const std::string& moduleFolder, const std::string&) {
    const char* chosen = std::getenv("KESTAR_ARM_LIBRARY");
    if (chosen != nullptr && *chosen != '\0') return {chosen};
    // A bare name would be searched for along the loader's own path, and a relative
    // folder taken from the current one; the file beside the module is the one
    // meant. Without a known absolute folder nothing is tried.
    if (moduleFolder.empty() || moduleFolder.front() != '/') return {};
    return {moduleFolder + (moduleFolder.back() == '/' ? "" : "/") + kArmLibraryName};
}

void* OpenArmLibraryFrom(const std::vector<std::string>& candidates, std::string& file, std::string& problem) {
    problem = std::string("arm library ") + kArmLibraryName + " could not be loaded: no folder to look in";
    for (const std::string& candidate : candidates) {
        // Kept loaded for the life of the process, as the module holds its calls.
        if (void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            link_map* map = nullptr;
            file = dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr
                       ? map->l_name
                       : candidate;
            return handle;
        }
        const char* why = dlerror();
        problem = "arm library " + candidate + " could not be loaded: " + (why ? why : "unknown error");
    }
    return nullptr;
}

std::string ModuleFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ModuleFolder), &info) == 0 || info.dli_fname == nullptr) return std::string();
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) == nullptr) return FolderOf(info.dli_fname);
    return FolderOf(resolved);
}

std::string HostProgramFolder() {
    char program[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    if (length <= 0) return std::string();
    return FolderOf(std::string(program, static_cast<std::size_t>(length)));
}

bool GuardedArmCall(void (*call)(void* context), void* context, unsigned long& exceptionCode) {
    exceptionCode = 0;
    call(context);
    return true;
}

}  // namespace kestar::platform
