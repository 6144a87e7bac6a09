// Loads the built module (KESTAR.dll or libkestar.so) the way a host does.
#pragma once

#include "kestar.h"

#include <string>

namespace kestar::testing {

class LoadedModule {
public:
    using GetCommDataFn = int(KESTAR_CALL*)(InterfaceBlock*);
    using InitializeFn = int(KESTAR_CALL*)(InterfaceBlock*, int, KestarHostCallback);
    using TerminateFn = int(KESTAR_CALL*)();

    // Loads path; on Windows the entry points are taken by ordinal (10, 12, 14).
    explicit LoadedModule(const std::string& path);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    void* Symbol(const char* name) const;

    GetCommDataFn getCommData = nullptr;
    InitializeFn initializeCommunications = nullptr;
    TerminateFn terminateCommunications = nullptr;

private:
    void* handle_ = nullptr;
    std::string error_;
};

// The built module beside the test binary.
std::string BuiltModulePath();
// The arm simulator beside the test binary.
std::string BuiltArmSimulatorPath();

// Sets or removes an environment variable of this process.
void SetEnvironment(const char* name, const char* value);

}  // namespace kestar::testing
