// The host calls GetCommData in its measuring loop and the module writes log lines
// while it runs: neither a reading nor a log line may take memory from the heap,
// with the debug trace on (as it always is on Windows) or off.
#include "fakes/fake_arm.h"
#include "log/interface_log.h"
#include "platform/debug_trace.h"
#include "settings/install_directory.h"
#include "support/heap/allocation_count.h"
#include "support/scratch_folder.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

namespace kestar::testing {
namespace {

constexpr int kRounds = 1000;

// A trace writer that keeps the last line and counts them, allocating nothing itself.
char lastTraceLine[platform::kTraceLineSize];
int traceLines = 0;
void KeepTrace(const char* text) {
    std::strncpy(lastTraceLine, text, sizeof lastTraceLine - 1);
    ++traceLines;
}

class ScopedTraceKeeper {
public:
    ScopedTraceKeeper() {
        traceLines = 0;
        lastTraceLine[0] = '\0';
        previous_ = platform::InstallTraceWriter(KeepTrace);
    }
    ~ScopedTraceKeeper() { platform::InstallTraceWriter(previous_); }

private:
    platform::TraceWriter previous_;
};

#define REQUIRE_ALLOCATION_COUNT()                                                         \
    if (!AllocationCounter::Supported()) GTEST_SKIP() << "a sanitizer owns the heap here"

class ReadingLoop : public ::testing::Test {
protected:
    HostRecords records;
    ScopedStoredBlock stored{&records.block()};
    ScopedFakeArm arm;

    // Readings of every kind: plain, point taken, the event.
    long CountReadingAllocations() {
        int failures = 0;
        arm.state().reading[0] = 1234.5;
        arm.state().reading[12] = -0.25;
        records.block().command = C_READ_COORDS;
        GetCommData(&records.block());  // first use of anything that sets itself up once
        AllocationCounter counter;
        for (int i = 0; i < kRounds; ++i) {
            arm.state().status = i % 3;
            records.block().command = i % 2 == 0 ? C_READ_COORDS : C_M_POINT;
            if (GetCommData(&records.block()) != 1) ++failures;
        }
        const long allocations = counter.count();
        EXPECT_EQ(failures, 0);
        return allocations;
    }
};

TEST_F(ReadingLoop, AThousandReadingsWithTheTraceOnAllocateNothing) {
    REQUIRE_ALLOCATION_COUNT();
    ScopedTraceKeeper trace;
    EXPECT_EQ(CountReadingAllocations(), 0);
    EXPECT_EQ(traceLines, kRounds + 1) << "every reading sent its line";
    EXPECT_STREQ(lastTraceLine, "  1234.500      0.000      0.000  0.250 -0.000 -0.000 <0>\n");
}

TEST_F(ReadingLoop, AThousandReadingsWithTheTraceOffAllocateNothing) {
    REQUIRE_ALLOCATION_COUNT();
    const platform::TraceWriter previous = platform::InstallTraceWriter(nullptr);
    if (platform::TraceEnabled()) {
        platform::InstallTraceWriter(previous);
        GTEST_SKIP() << "this platform's trace channel cannot be switched off";
    }
    EXPECT_EQ(CountReadingAllocations(), 0);
    platform::InstallTraceWriter(previous);
}

#if defined(_WIN32)
// The product's own channel, OutputDebugStringA, with no writer in between.
TEST_F(ReadingLoop, AThousandReadingsThroughTheSystemTraceChannelAllocateNothing) {
    REQUIRE_ALLOCATION_COUNT();
    const platform::TraceWriter previous = platform::InstallTraceWriter(nullptr);
    ASSERT_TRUE(platform::TraceEnabled());
    EXPECT_EQ(CountReadingAllocations(), 0);
    platform::InstallTraceWriter(previous);
}
#endif

TEST_F(ReadingLoop, AReadingOfHugeValuesSendsItsWholeLine) {
    ScopedTraceKeeper trace;
    for (int i : {0, 1, 2}) arm.state().reading[i] = -1.7976931348623157e308;
    for (int i : {12, 13, 14}) arm.state().reading[i] = 1.7976931348623157e308;  // stored negated
    arm.state().status = -2147483647 - 1;
    records.block().command = C_READ_COORDS;
    ASSERT_EQ(GetCommData(&records.block()), 1);
    const std::string line = lastTraceLine;
    EXPECT_EQ(line.size(), 6u * 314u + 5u + 15u) << "six numbers of 314 characters and the status, none cut";
    EXPECT_EQ(line.substr(line.size() - 15), " <-2147483648>\n");
}

TEST(TraceLine, ATextLongerThanTheAreaIsCutAndKeepsItsLineBreak) {
    ScopedTraceKeeper trace;
    const std::string longText(3 * platform::kTraceLineSize, 'x');
    platform::Trace("%s\n", longText.c_str());
    const std::string line = lastTraceLine;
    ASSERT_EQ(line.size(), platform::kTraceLineSize - 1);
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find_first_not_of('x'), line.size() - 1);
}

class LogLines : public ::testing::Test {
protected:
    ScratchFolder install;
    void SetUp() override {
        ASSERT_TRUE(MakeFolder(install.Join("tolvo")));
        installDirectory = install.path();
        SetLogFolder(installDirectory);
        StartLog(installDirectory);
        WriteLog("the buffer is reserved by the first line");
    }
    void TearDown() override {
        CloseLog();
        installDirectory.clear();
    }
};

TEST_F(LogLines, AThousandLinesWithTheTraceOnAllocateNothing) {
    REQUIRE_ALLOCATION_COUNT();
    ScopedTraceKeeper trace;
    const std::string_view texts[] = {"Starting Interface DLL", "PORT1 = Controller 2 9600 N 8 1",
                                      "Cannot find 'PORT6' in 'C:\\Program Files\\Host\\tolvo\\vodrane.ini'"};
    AllocationCounter counter;
    for (int i = 0; i < kRounds; ++i) WriteLog(texts[i % 3]);
    EXPECT_EQ(counter.count(), 0);
    EXPECT_EQ(traceLines, kRounds);
    const std::string last = lastTraceLine;
    EXPECT_EQ(last.substr(last.find('>')), ">   Starting Interface DLL\r\n");
}

TEST_F(LogLines, ALineLongerThanAnyFixedAreaReachesTheTraceWholeWithoutAllocating) {
    ScopedTraceKeeper trace;
    static std::string traced;  // the keeper stops at its area; this writer sees everything
    traced.reserve(8 * platform::kTraceLineSize);
    platform::InstallTraceWriter([](const char* text) { traced.assign(text); });
    const std::string text(3 * platform::kTraceLineSize, 'y');
    AllocationCounter counter;
    WriteLog(text);
    if (AllocationCounter::Supported()) EXPECT_EQ(counter.count(), 0);
    EXPECT_EQ(traced.substr(traced.find('>')), ">   " + text + "\r\n");
    CloseLog();
    const std::string file = ReadFileBytes(install.Join("tolvo/TolvoInterface.log"));
    EXPECT_NE(file.find(text + "\r\n"), std::string::npos);
}

}  // namespace
}  // namespace kestar::testing
