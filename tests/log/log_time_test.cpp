// The time of a log line: a cheap clock that may trail the true time by a known lag,
// a second's conversion kept for that second, and never a second that has ended.
#include "platform/local_time_cache.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <ctime>
#include <time.h>
#endif

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

#if !defined(_WIN32)
int SecondOfDay(std::time_t time) {
    std::tm local{};
    localtime_r(&time, &local);
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

// The POSIX stand-in with the system's own clocks: lines written back to back from
// before a second boundary until 50 ms after it each carry the second of the moment
// they were written (the precise clock read just before and just after the line).
TEST(PosixLogTime, LinesWrittenAcrossASecondBoundaryCarryTheSecondTheyWereWrittenIn) {
    TimeOfDay (*const localTimeOfDay)() = SystemDefaults().LocalTimeOfDay;
    timespec start{};
    clock_gettime(CLOCK_REALTIME, &start);
    long lines = 0, wrong = 0;
    for (;;) {
        timespec before{}, after{};
        clock_gettime(CLOCK_REALTIME, &before);
        const TimeOfDay stamp = localTimeOfDay();
        clock_gettime(CLOCK_REALTIME, &after);
        const int second = stamp.hour * 3600 + stamp.minute * 60 + stamp.second;
        if (second != SecondOfDay(before.tv_sec) && second != SecondOfDay(after.tv_sec)) ++wrong;
        ++lines;
        if (before.tv_sec > start.tv_sec && before.tv_nsec > 50000000) break;
    }
    EXPECT_EQ(wrong, 0) << "of " << lines << " lines";
}
#endif

}  // namespace
}  // namespace kestar::platform
