#include "platform/arm_library.h"

#include <windows.h>

#include <cstdio>

namespace kestar::platform {
namespace {

void* LookupSymbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

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

__attribute__((noinline)) bool GuardedFrameCall(void (*call)(void*), void* context, DWORD* code) {
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

}  // namespace

void* OpenSystemArmLibrary(std::string& file, std::string& problem) {
    HMODULE handle = LoadLibraryA("zuroz.dll");
    if (handle == nullptr) {
        char text[80];
        std::snprintf(text, sizeof text, "arm library zuroz.dll could not be loaded (error %lu)", GetLastError());
        problem = text;
        return nullptr;
    }
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(handle, path, MAX_PATH);
    file = length > 0 ? std::string(path, length) : std::string("zuroz.dll");
    return handle;
}

std::vector<std::string> ArmLibraryCandidates(const std::string&, const std::string& hostProgramFolder) {
    // LoadLibraryA("zuroz.dll") inside the host looks in the host program's folder first.
    std::vector<std::string> candidates;
    if (!hostProgramFolder.empty()) candidates.push_back(hostProgramFolder + "\\zuroz.dll");
    candidates.emplace_back("zuroz.dll");
    return candidates;
}

void* OpenArmLibraryFrom(const std::vector<std::string>& candidates, std::string& file, std::string& problem) {
    problem.clear();
    for (const std::string& candidate : candidates) {
        // A bare name is looked for in the system's folder only, never beside the
        // program that asks nor in the current folder.
        const bool bare = candidate.find_first_of("\\/") == std::string::npos;
        HMODULE handle = LoadLibraryExA(candidate.c_str(), nullptr,
                                        bare ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH);
        if (handle == nullptr) {
            char text[96];
            std::snprintf(text, sizeof text, " could not be loaded (error %lu)", GetLastError());
            // Every file looked for is named: where the library should be matters most.
            problem += (problem.empty() ? "arm library " : "; ") + candidate + text;
            continue;
        }
        char path[MAX_PATH + 1] = {};
        const DWORD length = GetModuleFileNameA(handle, path, MAX_PATH);
        file = length > 0 ? std::string(path, length) : candidate;
        return handle;
    }
    return nullptr;
}

void* ArmLibrarySymbol(void* handle, const char* name) { return LookupSymbol(handle, name); }

bool SystemLoadArmLibrary(ArmLibrary& arm, std::string& problem) {
    std::string file;
    void* handle = OpenSystemArmLibrary(file, problem);
    if (handle == nullptr) return false;
    arm = ResolveArmLibrary(LookupSymbol, handle);
    return true;
}

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

}  // namespace kestar::platform
