#include "platform/system.h"

#include <ctime>
#include <time.h>

namespace kestar::platform {
namespace {

// An NT-style version word: bit 31 clear, major version 10.
std::uint32_t PosixGetVersion() { return 0x0000000Au; }

std::uint32_t PosixGetTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void PosixSleep(std::uint32_t milliseconds) {
    timespec wait{static_cast<time_t>(milliseconds / 1000u), static_cast<long>(milliseconds % 1000u) * 1000000L};
    while (nanosleep(&wait, &wait) != 0) {
    }
}

// The broken-down time is kept for the second it belongs to: the interface log asks
// once a line, and the time zone conversion costs more than the rest of a line.
TimeOfDay PosixLocalTimeOfDay() {
    thread_local std::time_t cachedSecond = -1;
    thread_local TimeOfDay cached{};
    // The coarse clock needs no hardware read; its few milliseconds of lag do not
    // matter at one-second resolution.
    timespec coarse{};
    clock_gettime(CLOCK_REALTIME_COARSE, &coarse);
    std::time_t now = coarse.tv_sec;
    if (now != cachedSecond) {
        std::tm local{};
        localtime_r(&now, &local);
        cached = TimeOfDay{local.tm_hour, local.tm_min, local.tm_sec};
        cachedSecond = now;
    }
    return cached;
}

}  // namespace

SystemOps SystemDefaults() {
    return SystemOps{PosixGetVersion, PosixGetTickCount, PosixSleep, PosixLocalTimeOfDay};
}

}  // namespace kestar::platform
