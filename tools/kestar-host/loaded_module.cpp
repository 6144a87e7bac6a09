#include "loaded_module.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace kestar::tools {

LoadedModule::LoadedModule(const std::string& path) {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    handle_ = module;
    if (module == nullptr) {
        error_ = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return;
    }
    getCommData = reinterpret_cast<GetCommDataFn>(GetProcAddress(module, MAKEINTRESOURCEA(10)));
    initializeCommunications = reinterpret_cast<InitializeFn>(GetProcAddress(module, MAKEINTRESOURCEA(12)));
    terminateCommunications = reinterpret_cast<TerminateFn>(GetProcAddress(module, MAKEINTRESOURCEA(14)));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
        return;
    }
    getCommData = reinterpret_cast<GetCommDataFn>(dlsym(handle_, "GetCommData"));
    initializeCommunications = reinterpret_cast<InitializeFn>(dlsym(handle_, "InitializeCommunications"));
    terminateCommunications = reinterpret_cast<TerminateFn>(dlsym(handle_, "TerminateCommunications"));
#endif
    if (!complete()) error_ = path + " lacks one of the entry points GetCommData, InitializeCommunications, TerminateCommunications";
}

LoadedModule::~LoadedModule() {
    if (handle_ == nullptr) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

void* LoadedModule::Symbol(const char* name) const {
    if (handle_ == nullptr) return nullptr;
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
}

std::string ProgramDirectory() {
    char path[4096] = {};
#if defined(_WIN32)
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path - 1);
    std::string full(path, length);
#else
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string full(path, length > 0 ? static_cast<std::size_t>(length) : 0);
#endif
    std::size_t slash = full.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : full.substr(0, slash);
}

const char* ModuleFileName() {
#if defined(_WIN32)
    return "KESTAR.dll";
#else
    return "libkestar.so";
#endif
}

}  // namespace kestar::tools
