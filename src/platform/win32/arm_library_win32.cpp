#include "platform/arm_library.h"

#include "platform/compiler.h"

#include <windows.h>

#include <cstdio>

namespace kestar::platform {
namespace {

void* LookupSymbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

#if !defined(_MSC_VER) || defined(__clang__)
// GCC has no __try: the guard frame is built by hand.
// A frame of the thread's structured-exception chain (FS:[0] on x86). The system
// walks the chain when the library raises an exception it does not handle itself:
// an access violation, or a C++ exception of a library built with another compiler.
struct GuardFrame {
    GuardFrame* previous;
    void* handler;
    void* resume[5];  // __builtin_setjmp buffer
    DWORD code;
};

GuardFrame* ChainHead() {
    GuardFrame* head;
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head));
    return head;
}

void SetChainHead(GuardFrame* head) { __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory"); }

extern "C" EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    GuardFrame* guard = static_cast<GuardFrame*>(frame);
    guard->code = record->ExceptionCode;
    // Let the library's own frames between the fault and here unwind, then resume
    // in GuardedFrameCall as if the call had returned.
    RtlUnwind(frame, nullptr, record, nullptr);
    __builtin_longjmp(guard->resume, 1);
}

KESTAR_NOINLINE bool GuardedFrameCall(void (*call)(void*), void* context, DWORD* code) {
    GuardFrame guard;
    guard.handler = reinterpret_cast<void*>(&GuardHandler);
    guard.code = 0;
    guard.previous = ChainHead();
    if (__builtin_setjmp(guard.resume) == 0) {
        SetChainHead(&guard);
        call(context);
        SetChainHead(guard.previous);
        return true;
    }
    SetChainHead(guard.previous);
    *code = guard.code;
    return false;
}
#endif

constexpr const char* kArmLibraryName = "zuroz.dll";

std::string FolderOf(HMODULE module) {
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    std::string file(path, length);
    const std::size_t separator = file.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : file.substr(0, separator);
}

bool IsFullPath(const std::string& file) { return file.find_first_of("\\/") != std::string::npos; }

// A drive path (X:\...) or a share (\\server\...): anything else would be taken
// relative to the current folder.
bool IsAbsoluteFolder(const std::string& folder) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    if (folder.size() >= 3 && folder[1] == ':' && separator(folder[2])) return true;
    return folder.size() >= 3 && separator(folder[0]) && separator(folder[1]);
}

bool SameFile(const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

// A file is loaded by its full path, its own imports from its folder and the
// system's default folders; a bare name from the default folders only (the program's
// folder, the system folders, folders added with AddDllDirectory). Neither way
// looks in the current folder. A system without these search flags (before the
// update that brought them) answers ERROR_INVALID_PARAMETER: a full path is then
// loaded the older way, which also leaves the current folder out for the file itself,
// and a bare name is not tried at all.
HMODULE LoadCandidate(const std::string& file) {
    if (!IsFullPath(file)) {
        return LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    }
    HMODULE handle = LoadLibraryExA(file.c_str(), nullptr,
                                    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (handle == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        handle = LoadLibraryExA(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    return handle;
}

bool NotThere(DWORD error) {
    return error == ERROR_MOD_NOT_FOUND || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

std::vector<std::string> ArmLibraryCandidates(const std::string& moduleFolder, const std::string& hostProgramFolder) {
    std::vector<std::string> candidates;
    for (const std::string& folder : {moduleFolder, hostProgramFolder}) {
        if (!IsAbsoluteFolder(folder)) continue;
        const char last = folder.back();
        std::string file = folder + (last == '\\' || last == '/' ? "" : "\\") + kArmLibraryName;
        if (candidates.empty() || !SameFile(candidates.back(), file)) candidates.push_back(file);
    }
    candidates.emplace_back(kArmLibraryName);
    return candidates;
}

void* OpenArmLibraryFrom(const std::vector<std::string>& candidates, std::string& file, std::string& problem) {
    // The error worth reporting is that of a file that was there and did not load;
    // failing that, the last "not found".
    DWORD reported = ERROR_MOD_NOT_FOUND;
    bool foundBroken = false;
    for (const std::string& candidate : candidates) {
        if (HMODULE handle = LoadCandidate(candidate)) {
            char path[MAX_PATH + 1] = {};
            const DWORD length = GetModuleFileNameA(handle, path, MAX_PATH);
            file = length > 0 && length < MAX_PATH ? std::string(path, length) : candidate;
            return handle;
        }
        const DWORD error = GetLastError();
        if (!foundBroken) reported = error;
        foundBroken = foundBroken || !NotThere(error);
    }
    char text[80];
    std::snprintf(text, sizeof text, "arm library %s could not be loaded (error %lu)", kArmLibraryName, reported);
    problem = text;
    return nullptr;
}

std::string ModuleFolder() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ModuleFolder), &self)) {
        return std::string();
    }
    return FolderOf(self);
}

std::string HostProgramFolder() { return FolderOf(nullptr); }

void* ArmLibrarySymbol(void* handle, const char* name) { return LookupSymbol(handle, name); }

#if defined(_MSC_VER) && !defined(__clang__)
// Visual C++ builds the frame itself. A C++ exception of this module's own kind
// (0xE06D7363, as every Visual C++ throw) passes on, as in the GCC build, where
// only a foreign library's exceptions reach the system's chain.
bool GuardedArmCall(void (*call)(void* context), void* context, unsigned long& exceptionCode) {
    constexpr DWORD kCppException = 0xE06D7363;
    DWORD code = 0;
    __try {
        call(context);
    } __except (code = GetExceptionCode(),
                code == kCppException ? EXCEPTION_CONTINUE_SEARCH : EXCEPTION_EXECUTE_HANDLER) {
        exceptionCode = code;
        return false;
    }
    exceptionCode = 0;
    return true;
}
#else
bool GuardedArmCall(void (*call)(void* context), void* context, unsigned long& exceptionCode) {
    GuardFrame* before = ChainHead();
    DWORD code = 0;
    bool returned;
    try {
        returned = GuardedFrameCall(call, context, &code);
    } catch (...) {
        // A C++ exception of this module's own kind unwound past the guard frame
        // without the system seeing it: take the frame off the chain, pass it on.
        SetChainHead(before);
        throw;
    }
    exceptionCode = code;
    return returned;
}
#endif

}  // namespace kestar::platform
