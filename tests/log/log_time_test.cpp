// The time of a log line: a second's conversion kept for that second, and never a
// second that has ended.
#include "platform/local_time_cache.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <ctime>
#include <time.h>
#endif

namespace kestar::platform {
namespace {

constexpr std::int64_t kSecond = 1700000000;

WallClockReading preciseNow{};
int conversions = 0;

WallClockReading Precise() { return preciseNow; }
// Seconds of the day, with no time zone: enough to tell seconds apart.
TimeOfDay ToLocal(std::int64_t seconds) {
    ++conversions;
    const int ofDay = static_cast<int>(seconds % 86400);
    return TimeOfDay{ofDay / 3600, ofDay / 60 % 60, ofDay % 60};
}

class LogTime : public ::testing::Test {
protected:
    LocalTimeCache cache{LocalTimeClocks{Precise, ToLocal}};
    void SetUp() override {
        conversions = 0;
    }
    static void At(std::int64_t seconds, std::int32_t nanoseconds) {
        preciseNow = WallClockReading{seconds, nanoseconds};
    }
    static int Second(const TimeOfDay& t) { return t.second; }
};

// A timer tick may come late, so a clock that follows the ticks can trail the true
// time by more than any lag assumed for it (at .991 s of the old second while the
// true time is 1.003 s, say): a line written in a new second carries that second.
TEST_F(LogTime, ALineEarlyInASecondCarriesThatSecondHoweverLateTheTick) {
    const std::int32_t intoTheSecond[] = {0, 1, 3000000, 7000000, 40000000, 999999999};
    for (std::int32_t ns : intoTheSecond) {
        At(kSecond, 500000000);
        EXPECT_EQ(Second(cache.Now()), kSecond % 60);
        At(kSecond + 1, ns);
        EXPECT_EQ(Second(cache.Now()), (kSecond + 1) % 60) << ns << " ns into the second";
    }
}

TEST_F(LogTime, ASecondIsConvertedOnceHoweverManyLinesItHas) {
    for (std::int32_t ms = 0; ms < 1000; ++ms) {
        At(kSecond, ms * 1000000);
        EXPECT_EQ(Second(cache.Now()), kSecond % 60);
    }
    EXPECT_EQ(conversions, 1) << "one conversion per second";
    At(kSecond + 1, 0);
    cache.Now();
    EXPECT_EQ(conversions, 2);
}

TEST_F(LogTime, TheLastMomentOfASecondStillCarriesIt) {
    At(kSecond, 100000000);
    cache.Now();
    At(kSecond, 999999999);
    EXPECT_EQ(Second(cache.Now()), kSecond % 60);
    EXPECT_EQ(conversions, 1);
}

TEST_F(LogTime, AClockSetBackIsFollowed) {
    At(kSecond, 500000000);
    cache.Now();
    At(kSecond - 3600, 500000000);
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
