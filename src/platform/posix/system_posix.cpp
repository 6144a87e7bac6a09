#include "platform/system.h"

#include "platform/local_time_cache.h"

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

WallClockReading ReadClock(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return WallClockReading{static_cast<std::int64_t>(now.tv_sec), static_cast<std::int32_t>(now.tv_nsec)};
}

WallClockReading PreciseClock() { return ReadClock(CLOCK_REALTIME); }

// The interface log asks once a line, on the host's thread.
TimeOfDay PosixLocalTimeOfDay() {
    thread_local LocalTimeCache cache(LocalTimeClocks{PreciseClock, LocalTimeOfSecond});
    return cache.Now();
}

}  // namespace

TimeOfDay LocalTimeOfSecond(std::int64_t seconds) {
    static_assert(sizeof(std::time_t) == 8, "time_t must hold seconds after January 2038");
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&time, &local);
    return TimeOfDay{local.tm_hour, local.tm_min, local.tm_sec};
}

SystemOps SystemDefaults() {
    SystemOps ops{};
    ops.GetVersion = PosixGetVersion;
    ops.GetTickCount = PosixGetTickCount;
    ops.Sleep = PosixSleep;
    ops.LocalTimeOfDay = PosixLocalTimeOfDay;
    return ops;
}

}  // namespace kestar::platform
