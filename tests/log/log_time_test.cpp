// The time of a log line: a cheap clock that may trail the true time by a known lag,
// a second's conversion kept for that second, and never a second that has ended.
#include "platform/local_time_cache.h"

#include <gtest/gtest.h>

namespace kestar::platform {
namespace {

constexpr std::int32_t kLag = 8000000;  // 8 ms
constexpr std::int64_t kSecond = 1700000000;

WallClockReading coarseNow{};
WallClockReading preciseNow{};
int preciseReads = 0;
int conversions = 0;

WallClockReading Coarse() { return coarseNow; }
WallClockReading Precise() {
    ++preciseReads;
    return preciseNow;
}
// Seconds of the day, with no time zone: enough to tell seconds apart.
TimeOfDay ToLocal(std::int64_t seconds) {
    ++conversions;
    const int ofDay = static_cast<int>(seconds % 86400);
    return TimeOfDay{ofDay / 3600, ofDay / 60 % 60, ofDay % 60};
}

class LogTime : public ::testing::Test {
protected:
    LocalTimeCache cache{LocalTimeClocks{Coarse, Precise, ToLocal, kLag}};
    void SetUp() override {
        preciseReads = 0;
        conversions = 0;
    }
    // The true time is `precise`; the coarse clock trails it by `trail` nanoseconds.
    static void At(std::int64_t seconds, std::int32_t nanoseconds, std::int32_t trail) {
        preciseNow = WallClockReading{seconds, nanoseconds};
        std::int64_t s = seconds;
        std::int32_t ns = nanoseconds - trail;
        if (ns < 0) {
            ns += 1000000000;
            --s;
        }
        coarseNow = WallClockReading{s, ns};
    }
    static int Second(const TimeOfDay& t) { return t.second; }
};

TEST_F(LogTime, ALineEarlyInASecondCarriesThatSecondWhileTheCoarseClockStillShowsTheLast) {
    At(kSecond, 500000000, kLag);
    EXPECT_EQ(Second(cache.Now()), kSecond % 60);
    // 2 ms into the next second; the coarse clock, 6 ms behind, still shows 0.996.
    At(kSecond + 1, 2000000, 6000000);
    EXPECT_EQ(Second(cache.Now()), (kSecond + 1) % 60);
    // And the same with the coarse clock right at the last nanosecond of the old second.
    At(kSecond + 2, 0, 1);
    EXPECT_EQ(Second(cache.Now()), (kSecond + 2) % 60);
}

TEST_F(LogTime, WellInsideASecondTheCoarseClockAloneAnswers) {
    At(kSecond, 100000000, kLag);
    cache.Now();
    const int readsBefore = preciseReads;
    for (std::int32_t ms = 101; ms < 990; ++ms) {
        At(kSecond, ms * 1000000, kLag);
        EXPECT_EQ(Second(cache.Now()), kSecond % 60);
    }
    EXPECT_EQ(preciseReads, readsBefore) << "no precise read while the lag cannot reach the next second";
    EXPECT_EQ(conversions, 1) << "one conversion per second";
}

TEST_F(LogTime, TheLastLagOfASecondIsDecidedByThePreciseClock) {
    At(kSecond, 100000000, 0);
    cache.Now();
    At(kSecond, 1000000000 - kLag, 0);  // could already be the next second
    EXPECT_EQ(Second(cache.Now()), kSecond % 60);
    EXPECT_EQ(preciseReads, 2);
    EXPECT_EQ(conversions, 1);
}

TEST_F(LogTime, AClockSetBackIsFollowed) {
    At(kSecond, 500000000, 0);
    cache.Now();
    At(kSecond - 3600, 500000000, 0);
    EXPECT_EQ(cache.Now().hour, static_cast<int>((kSecond - 3600) % 86400 / 3600));
}

}  // namespace
}  // namespace kestar::platform
