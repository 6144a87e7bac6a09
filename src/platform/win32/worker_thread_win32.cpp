#include "platform/worker_thread.h"

#include <windows.h>

#include <new>

namespace kestar::platform {
namespace {

struct Start {
    WorkerRoutine routine;
    void* parameter;
    HMODULE module;
};

DWORD WINAPI ThreadMain(LPVOID raw) {
    Start start = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    const unsigned result = start.routine(start.parameter);
    if (start.module != nullptr) FreeLibraryAndExitThread(start.module, result);
    return result;
}

WorkerThread WinStart(WorkerRoutine routine, void* parameter) {
    Start* start = new (std::nothrow) Start{routine, parameter, nullptr};
    if (start == nullptr) return nullptr;
    // Hold the module that contains the routine until the thread has left it.
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ThreadMain), &start->module);
    HANDLE thread = CreateThread(nullptr, 0, ThreadMain, start, CREATE_SUSPENDED, nullptr);
    if (thread == nullptr) {
        if (start->module != nullptr) FreeLibrary(start->module);
        delete start;
        return nullptr;
    }
    SetThreadPriority(thread, THREAD_PRIORITY_LOWEST);
    ResumeThread(thread);
    return thread;
}

bool WinWait(WorkerThread thread, std::uint32_t milliseconds) {
    return thread != nullptr && WaitForSingleObject(static_cast<HANDLE>(thread), milliseconds) == WAIT_OBJECT_0;
}

void WinRelease(WorkerThread thread) {
    if (thread != nullptr) CloseHandle(static_cast<HANDLE>(thread));
}

}  // namespace

WorkerThreadOps WorkerThreadDefaults() {
    WorkerThreadOps ops{};
    ops.Start = WinStart;
    ops.Wait = WinWait;
    ops.Release = WinRelease;
    return ops;
}

}  // namespace kestar::platform
