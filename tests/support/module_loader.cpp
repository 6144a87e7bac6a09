#include "support/module_loader.h"

#include "support/test_support.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace kestar::testing {

LoadedModule::LoadedModule(const std::string& path) {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    handle_ = module;
    if (module == nullptr) {
        error_ = "LoadLibrary failed with error " + std::to_string(GetLastError());
        return;
    }
    getCommData = reinterpret_cast<GetCommDataFn>(GetProcAddress(module, MAKEINTRESOURCEA(10)));
    initializeCommunications = reinterpret_cast<InitializeFn>(GetProcAddress(module, MAKEINTRESOURCEA(12)));
    terminateCommunications = reinterpret_cast<TerminateFn>(GetProcAddress(module, MAKEINTRESOURCEA(14)));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = why != nullptr ? why : "dlopen failed";
        return;
    }
    getCommData = reinterpret_cast<GetCommDataFn>(dlsym(handle_, "GetCommData"));
    initializeCommunications = reinterpret_cast<InitializeFn>(dlsym(handle_, "InitializeCommunications"));
    terminateCommunications = reinterpret_cast<TerminateFn>(dlsym(handle_, "TerminateCommunications"));
#endif
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

std::string BuiltModulePath() {
#if defined(_WIN32)
    return ExecutableDirectory() + "\\KESTAR.dll";
#else
    return ExecutableDirectory() + "/libkestar.so";
#endif
}

std::string BuiltArmSimulatorPath() {
#if defined(_WIN32)
    return ExecutableDirectory() + "\\zuroz.dll";
#else
    return ExecutableDirectory() + "/libzuroz.so";
#endif
}

void SetEnvironment(const char* name, const char* value) {
#if defined(_WIN32)
    SetEnvironmentVariableA(name, value);
    std::string assignment = std::string(name) + "=" + (value != nullptr ? value : "");
    _putenv(assignment.c_str());
#else
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
#endif
}

}  // namespace kestar::testing
