#include "platform/local_time_cache.h"

namespace kestar::platform {
namespace {

constexpr std::int32_t kNanosecondsPerSecond = 1000000000;

}  // namespace

TimeOfDay LocalTimeCache::Now() {
    const WallClockReading coarse = clocks_.coarse();
    if (coarse.seconds == second_ && coarse.nanoseconds < kNanosecondsPerSecond - clocks_.coarseLagNanoseconds) {
        return time_;
    }
    const WallClockReading precise = clocks_.precise();
    if (precise.seconds != second_) {
        time_ = clocks_.toLocal(precise.seconds);
        second_ = precise.seconds;
    }
    return time_;
}

}  // namespace kestar::platform
