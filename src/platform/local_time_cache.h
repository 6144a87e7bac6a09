// The local time of day for the interface log, converted once per second.
//
// Converting a wall-clock second to local time costs more than writing a log line,
// so the converted time is kept for the second it belongs to. Which second it is
// comes from the precise clock on every call: a cheaper clock that follows timer
// ticks can trail the true time by more than any bound set for it when a tick comes
// late, and would then give a line a second that has already ended.
#pragma once

#include "platform/system.h"

#include <cstdint>

namespace kestar::platform {

struct WallClockReading {
    std::int64_t seconds;      // since the epoch
    std::int32_t nanoseconds;  // 0 .. 999,999,999
};

struct LocalTimeClocks {
    WallClockReading (*precise)();
    TimeOfDay (*toLocal)(std::int64_t seconds);
};

#if !defined(_WIN32)
// The POSIX stand-in's own conversion of a wall-clock second to the local time of day
// (64-bit time, so seconds after January 2038 convert too).
TimeOfDay LocalTimeOfSecond(std::int64_t seconds);
#endif

class LocalTimeCache {
public:
    explicit LocalTimeCache(const LocalTimeClocks& clocks) : clocks_(clocks) {}
    TimeOfDay Now();

private:
    LocalTimeClocks clocks_;
    std::int64_t second_ = INT64_MIN;  // the second `time_` belongs to
    TimeOfDay time_{};
};

}  // namespace kestar::platform
