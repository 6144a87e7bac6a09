// The local time of day from a cheap clock that can lag, without ever giving a
// second that has already ended.
//
// Converting a wall-clock second to local time costs more than writing a log line,
// so the converted time is kept for the second it belongs to. The cheap (coarse)
// clock is only read ahead of the precise one: it can trail the true time by up to
// a known lag, so while its reading lies further than that lag from the end of the
// kept second, the true time is still inside that second. Near the end of a second,
// or once the coarse clock has moved on, the precise clock decides.
#pragma once

#include "platform/system.h"

#include <cstdint>

namespace kestar::platform {

struct WallClockReading {
    std::int64_t seconds;      // since the epoch
    std::int32_t nanoseconds;  // 0 .. 999,999,999
};

struct LocalTimeClocks {
    WallClockReading (*coarse)();
    WallClockReading (*precise)();
    TimeOfDay (*toLocal)(std::int64_t seconds);
    // How far the coarse clock may trail the precise one.
    std::int32_t coarseLagNanoseconds;
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
