// Loads a built module (KESTAR.dll or libkestar.so) the way the host does:
// on Windows the entry points are taken by ordinal (10, 12, 14).
#pragma once

#include "kestar.h"

#include <string>

namespace kestar::tools {

class LoadedModule {
public:
    using GetCommDataFn = int(KESTAR_CALL*)(InterfaceBlock*);
    using InitializeFn = int(KESTAR_CALL*)(InterfaceBlock*, int, KestarHostCallback);
    using TerminateFn = int(KESTAR_CALL*)();

    explicit LoadedModule(const std::string& path);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    // True when the file loaded and all three entry points were found.
    bool complete() const { return handle_ != nullptr && getCommData && initializeCommunications && terminateCommunications; }
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

// The folder of the running program.
std::string ProgramDirectory();

// The module's file name on this platform: "KESTAR.dll" or "libkestar.so".
const char* ModuleFileName();

}  // namespace kestar::tools
