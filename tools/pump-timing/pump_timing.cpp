// pump-timing: runs the callback pump for a number of cycles and reports how far
// the intervals between the host callbacks stray from the 100 ms period, and the
// priority the pump thread runs at.
//   pump-timing [cycles] [--busy N]     (default 50 cycles; N threads of this
//                                        process spin at normal priority meanwhile)
#include "host/callback_pump.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::vector<Clock::time_point> stamps;
std::atomic<int> wanted{0};

std::atomic<bool> spinning{true};
std::string pumpPriority;  // written by the pump thread before its first stamp

// The priority of the calling thread, as the system names it.
std::string ThreadPriority() {
    char text[96];
#if defined(_WIN32)
    std::snprintf(text, sizeof text, "thread priority %d", GetThreadPriority(GetCurrentThread()));
#else
    const int policy = sched_getscheduler(0);
    const char* name = policy == SCHED_OTHER ? "SCHED_OTHER" : policy == SCHED_IDLE ? "SCHED_IDLE"
                       : policy == SCHED_BATCH ? "SCHED_BATCH" : "a real-time policy";
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    std::snprintf(text, sizeof text, "%s, nice %d", name, getpriority(PRIO_PROCESS, tid));
#endif
    return text;
}

int KESTAR_CALL RecordCallback(InterfaceBlock*, PointList*) {
    if (stamps.empty()) pumpPriority = ThreadPriority();
    if (static_cast<int>(stamps.size()) <= wanted) stamps.push_back(Clock::now());
    return 1;
}

void Spin() {
    volatile unsigned long counter = 0;
    while (spinning.load(std::memory_order_relaxed)) counter = counter + 1;
}

}  // namespace

int main(int argc, char** argv) {
    int cycles = 50, busy = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--busy") == 0 && i + 1 < argc) {
            busy = std::max(0, std::atoi(argv[++i]));
        } else {
            cycles = std::max(1, std::atoi(argv[i]));
        }
    }
    wanted = cycles;
    std::vector<std::thread> spinners;
    spinners.reserve(static_cast<std::size_t>(busy));
    for (int i = 0; i < busy; ++i) spinners.emplace_back(Spin);
    stamps.reserve(static_cast<std::size_t>(cycles) + 1);
    kestar::hostCallback = RecordCallback;
    const Clock::time_point started = Clock::now();
    if (kestar::StartCallbackPump() == nullptr) {
        std::fprintf(stderr, "pump-timing: the pump thread could not be started\n");
        return 1;
    }
    while (static_cast<int>(stamps.size()) <= cycles) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kestar::RequestCallbackPumpStop();
    kestar::WaitForCallbackPumpEnd();
    spinning = false;
    for (std::thread& spinner : spinners) spinner.join();

    double sum = 0.0, worst = 0.0;
    for (int i = 1; i <= cycles; ++i) {
        const double ms = std::chrono::duration<double, std::milli>(stamps[i] - stamps[i - 1]).count();
        sum += ms;
        worst = std::max(worst, std::fabs(ms - kestar::kPumpPeriodMs));
    }
    const double mean = sum / cycles;
    const double first = std::chrono::duration<double, std::milli>(stamps[0] - started).count();
    std::printf("pump period over %d cycles: mean %.3f ms (deviation %+.3f ms), worst deviation %.3f ms, "
                "first callback after %.3f ms\n",
                cycles, mean, mean - kestar::kPumpPeriodMs, worst, first);
    std::printf("pump thread: %s; this thread: %s; %d busy threads beside it\n", pumpPriority.c_str(),
                ThreadPriority().c_str(), busy);
    return 0;
}
