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

    // path: as ModulePathToLoad takes it.
    explicit LoadedModule(const std::string& path);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    // True when the file loaded and all three entry points were found.
    bool complete() const { return handle_ != nullptr && getCommData && initializeCommunications && terminateCommunications; }
    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    // What to do about the error, where the error says what is wrong; else empty.
    const std::string& hint() const { return hint_; }
    void* Symbol(const char* name) const;

    GetCommDataFn getCommData = nullptr;
    InitializeFn initializeCommunications = nullptr;
    TerminateFn terminateCommunications = nullptr;

private:
    void* handle_ = nullptr;
    std::string error_;
    std::string hint_;
};

// The file a module path names: a relative path is a file under the current folder
// on every platform (neither the library path nor the system's search order).
std::string ModulePathToLoad(const std::string& path);

// The folder of the running program.
std::string ProgramDirectory();

// The module a tool loads when none is given: the one beside it; Linux: else the
// bundle's ../lib/libkestar.so.
std::string DefaultModulePath();

// The module's file name on this platform: "KESTAR.dll" or "libkestar.so".
const char* ModuleFileName();

}  // namespace kestar::tools
