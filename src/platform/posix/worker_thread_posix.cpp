#include "platform/worker_thread.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>

namespace kestar::platform {
namespace {

struct Start {
    WorkerRoutine routine;
    void* parameter;
};

struct Thread {
    pthread_t id;
    bool joined;
};

// Windows starts a worker at THREAD_PRIORITY_LOWEST: two steps below normal within
// the process's priority class, a thread that still runs on a busy machine (the
// idle policy would be the idle priority, far below it). Here: the normal policy
// and a nice value two above the starting thread's, which a worker inherits and
// Linux keeps per thread; raising one's own nice value needs no privilege.
constexpr int kLowestPriorityNiceSteps = 2;
constexpr int kHighestNice = 19;

void LowerThisThread() {
    sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    const auto self = static_cast<id_t>(gettid());
    const int inherited = getpriority(PRIO_PROCESS, self);  // -1 is a nice value too
    setpriority(PRIO_PROCESS, self, std::min(inherited + kLowestPriorityNiceSteps, kHighestNice));
}

void* ThreadMain(void* raw) {
    const Start start = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    LowerThisThread();
    start.routine(start.parameter);
    return nullptr;
}

// Keeps the library holding this code loaded for the rest of the process, so a
// worker never runs in an unloaded library.
void PinThisLibrary() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ThreadMain), &info) != 0 && info.dli_fname != nullptr) {
        dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
}

WorkerThread PosixStart(WorkerRoutine routine, void* parameter) {
    Thread* thread = new (std::nothrow) Thread{};
    Start* start = new (std::nothrow) Start{routine, parameter};
    if (thread == nullptr || start == nullptr) {
        delete thread;
        delete start;
        return nullptr;
    }
    PinThisLibrary();
    if (pthread_create(&thread->id, nullptr, ThreadMain, start) != 0) {
        delete start;
        delete thread;
        return nullptr;
    }
    return thread;
}

bool PosixWait(WorkerThread raw, std::uint32_t milliseconds) {
    Thread* thread = static_cast<Thread*>(raw);
    if (thread == nullptr) return false;
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000u);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000u) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    if (thread->joined) return true;
    if (pthread_timedjoin_np(thread->id, nullptr, &deadline) != 0) return false;
    thread->joined = true;
    return true;
}

void PosixRelease(WorkerThread raw) {
    Thread* thread = static_cast<Thread*>(raw);
    if (thread == nullptr) return;
    if (!thread->joined) pthread_detach(thread->id);
    delete thread;
}

}  // namespace

WorkerThreadOps WorkerThreadDefaults() {
    WorkerThreadOps ops{};
    ops.Start = PosixStart;
    ops.Wait = PosixWait;
    ops.Release = PosixRelease;
    return ops;
}

}  // namespace kestar::platform
