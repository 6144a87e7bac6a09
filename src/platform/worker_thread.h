// Worker threads: start one at the lowest priority, wait for it with a bound.
//
// A worker keeps the module loaded while it runs (Windows: a module reference it
// gives back with FreeLibraryAndExitThread; Linux: the library is pinned), so a
// host that unloads the module while a worker is still finishing its cycle does
// not pull the code out from under it.
#pragma once

#include <cstdint>

namespace kestar::platform {

using WorkerRoutine = unsigned (*)(void* parameter);
using WorkerThread = void*;  // the platform's thread object; nullptr = none

struct WorkerThreadOps {
    // Starts routine(parameter) at once at the lowest priority, with the default
    // stack size and security; nullptr when the thread cannot be started.
    WorkerThread (*Start)(WorkerRoutine routine, void* parameter);
    // Waits until the thread has ended or the time is up; true when it ended.
    bool (*Wait)(WorkerThread thread, std::uint32_t milliseconds);
    // Gives back the thread object (the thread itself goes on if still running).
    void (*Release)(WorkerThread thread);
};

WorkerThreadOps& WorkerThreads();
WorkerThreadOps WorkerThreadDefaults();

}  // namespace kestar::platform
