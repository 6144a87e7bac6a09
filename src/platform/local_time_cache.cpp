#include "platform/local_time_cache.h"

namespace kestar::platform {

TimeOfDay LocalTimeCache::Now() {
    const WallClockReading precise = clocks_.precise();
    if (precise.seconds != second_) {
        time_ = clocks_.toLocal(precise.seconds);
        second_ = precise.seconds;
    }
    return time_;
}

}  // namespace kestar::platform
