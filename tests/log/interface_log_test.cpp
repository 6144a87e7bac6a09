// The interface log: line format, the buffer limit, the file's life, and lines
// kept when the file cannot be written.
#include "log/interface_log.h"

#include "platform/files.h"
#include "platform/system.h"
#include "settings/install_directory.h"
#include "support/scratch_folder.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#if !defined(_WIN32)
#include "platform/local_time_cache.h"

#include <time.h>
#endif

namespace kestar {
namespace {

using testing::ReadFileBytes;

platform::TimeOfDay clockNow{9, 5, 7};
platform::TimeOfDay FixedClock() { return clockNow; }

int opens = 0;
bool refuseOpen = false;
platform::FileOps realFiles;
platform::FileHandle CountingOpen(const char* path, bool truncate) {
    ++opens;
    return refuseOpen ? platform::kInvalidFile : realFiles.OpenExclusive(path, truncate);
}

// Fails every write after the first writesAllowed ones, having written half of it;
// with bytesAllowed set, fails the write that would pass that many bytes, having
// written up to it.
int writesAllowed = -1;
long bytesAllowed = -1;
bool HalfWrite(platform::FileHandle file, const void* data, std::uint32_t size, std::uint32_t* written) {
    if (bytesAllowed >= 0) {
        const std::uint32_t n =
            static_cast<long>(size) <= bytesAllowed ? size : static_cast<std::uint32_t>(bytesAllowed);
        bytesAllowed -= n;
        return realFiles.Write(file, data, n, written) && n == size;
    }
    if (writesAllowed < 0 || writesAllowed-- > 0) return realFiles.Write(file, data, size, written);
    realFiles.Write(file, data, size / 2, written);
    return false;
}

constexpr const char* kPrefix = "<9:5:07>   ";  // 11 characters

class InterfaceLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        clockNow = {9, 5, 7};
        opens = 0;
        refuseOpen = false;
        writesAllowed = -1;
        bytesAllowed = -1;
        realFiles = platform::FileDefaults();
        platform::SystemOps system = platform::SystemDefaults();
        system.LocalTimeOfDay = FixedClock;
        clock_ = std::make_unique<platform::ScopedSystemOps>(system);
        platform::FileOps files = realFiles;
        files.OpenExclusive = CountingOpen;
        files.Write = HalfWrite;
        files_ = std::make_unique<platform::ScopedFileOps>(files);
        installDirectory = scratch_.path();
        SetLogFolder(installDirectory);
        ASSERT_TRUE(testing::MakeFolder(scratch_.Join("tolvo")));
        path_ = scratch_.Join("tolvo/TolvoInterface.log");
    }
    void TearDown() override {
        refuseOpen = false;
        writesAllowed = -1;
        bytesAllowed = -1;
        CloseLog();
        files_.reset();
        clock_.reset();
        installDirectory.clear();
    }

    static std::string Line(const std::string& text) { return kPrefix + text + "\r\n"; }

    testing::ScratchFolder scratch_;
    std::string path_;
    std::unique_ptr<platform::ScopedSystemOps> clock_;
    std::unique_ptr<platform::ScopedFileOps> files_;
};

// --- lines ---

TEST_F(InterfaceLogTest, ARunWithStartAndEndLeavesExactlyTwoLines) {
    StartLog(installDirectory);
    WriteLog("Starting Interface DLL");
    clockNow = {14, 30, 0};
    WriteLog("Ending Interface DLL");
    CloseLog();
    EXPECT_EQ(ReadFileBytes(path_), "<9:5:07>   Starting Interface DLL\r\n<14:30:00>   Ending Interface DLL\r\n");
}

TEST_F(InterfaceLogTest, HourAndMinuteLoseLeadingZerosSecondsKeepTwoDigits) {
    clockNow = {0, 0, 5};
    WriteLog("a");
    clockNow = {23, 59, 59};
    WriteLog("b");
    clockNow = {10, 0, 9};
    WriteLog("c");
    CloseLog();
    EXPECT_EQ(ReadFileBytes(path_), "<0:0:05>   a\r\n<23:59:59>   b\r\n<10:0:09>   c\r\n");
}

TEST_F(InterfaceLogTest, EmptyAndMultiLineTextsGetOnePrefixAndPassThrough) {
    WriteLog("");
    WriteLog("one\r\ntwo\n");
    CloseLog();
    EXPECT_EQ(ReadFileBytes(path_), Line("") + Line("one\r\ntwo\n"));
}

TEST_F(InterfaceLogTest, EveryLineGoesWholeToTheDebugTraceAtOnce) {
    testing::ScopedTraceCapture trace;
    WriteLog("Starting Interface DLL");
    EXPECT_EQ(trace.text(), Line("Starting Interface DLL"));
    EXPECT_EQ(ReadFileBytes(path_), "");
}

TEST_F(InterfaceLogTest, TheFileHoldsOnlyTheLinesBytes) {
    WriteLog(std::string("bin\0ary\xff", 8));
    CloseLog();
    EXPECT_EQ(ReadFileBytes(path_), Line(std::string("bin\0ary\xff", 8)));
}

// --- the file's life ---

TEST_F(InterfaceLogTest, StartEmptiesAnOldFileAndItStaysEmptyUntilClose) {
    ASSERT_TRUE(testing::WriteFileBytes(path_, "last run\r\n"));
    StartLog(installDirectory);
    EXPECT_EQ(ReadFileBytes(path_), "");
    WriteLog("x");
    EXPECT_EQ(ReadFileBytes(path_), "");
    CloseLog();
    EXPECT_EQ(ReadFileBytes(path_), Line("x"));
}

TEST_F(InterfaceLogTest, ASecondStartChangesNothing) {
    StartLog(installDirectory);
    WriteLog("kept");
    opens = 0;
    StartLog(installDirectory);
    EXPECT_EQ(opens, 0);
    CloseLog();
    EXPECT_EQ(ReadFileBytes(path_), Line("kept"));
}

TEST_F(InterfaceLogTest, ALineAfterCloseStartsANewEmptiedFile) {
    WriteLog("first run");
    CloseLog();
    WriteLog("second run");
    EXPECT_EQ(ReadFileBytes(path_), "");
    CloseLog();
    EXPECT_EQ(ReadFileBytes(path_), Line("second run"));
}

TEST_F(InterfaceLogTest, CloseWithoutABufferDoesNothing) {
    CloseLog();
    EXPECT_EQ(opens, 0);
    EXPECT_FALSE(testing::FileExists(path_));
}

TEST_F(InterfaceLogTest, AnInstallDirectoryEndingInASeparatorStillFindsTheFile) {
    installDirectory = scratch_.path() + testing::PathSeparator();
    SetLogFolder(installDirectory);
    WriteLog("doubled");
    CloseLog();
    EXPECT_EQ(ReadFileBytes(path_), Line("doubled"));
}

// --- the limit ---

TEST_F(InterfaceLogTest, ALineReachingExactlyTheLimitStaysInTheBuffer) {
    const std::size_t overhead = 11 + 2;
    StartLog(installDirectory);
    WriteLog(std::string(kLogBufferLimit - 100 - overhead, 'a'));
    WriteLog(std::string(100 - overhead, 'b'));
    EXPECT_EQ(ReadFileBytes(path_).size(), 0u);
    WriteLog("");  // 13 more bytes: the full buffer goes first
    const std::string written = ReadFileBytes(path_);
    EXPECT_EQ(written.size(), kLogBufferLimit);
    EXPECT_EQ(written.substr(written.size() - 3), "b\r\n");
    CloseLog();
    EXPECT_EQ(ReadFileBytes(path_).size(), kLogBufferLimit + overhead);
}

TEST_F(InterfaceLogTest, ALineOneByteOverTheLimitFlushesTheEarlierContentOnly) {
    const std::size_t overhead = 11 + 2;
    WriteLog(std::string(1000 - overhead, 'a'));
    WriteLog(std::string(kLogBufferLimit - 1000 + 1 - overhead, 'b'));
    EXPECT_EQ(ReadFileBytes(path_), Line(std::string(1000 - overhead, 'a')));
}

TEST_F(InterfaceLogTest, ALineLongerThanTheLimitLiesWholeInTheNextBuffer) {
    WriteLog("short");
    const std::string huge(kLogBufferLimit + 5000, 'h');
    WriteLog(huge);
    EXPECT_EQ(ReadFileBytes(path_), Line("short"));
    CloseLog();
    EXPECT_EQ(ReadFileBytes(path_), Line("short") + Line(huge));
}

TEST_F(InterfaceLogTest, TheDiskIsOpenedOnlyAtStartAtTheLimitAndAtClose) {
    StartLog(installDirectory);
    EXPECT_EQ(opens, 1);
    for (int i = 0; i < 1000; ++i) WriteLog("a line of some ordinary length for the log");
    EXPECT_EQ(opens, 1);
    for (int i = 0; i < 6000; ++i) WriteLog("a line of some ordinary length for the log");
    EXPECT_EQ(opens, 2);
    CloseLog();
    EXPECT_EQ(opens, 3);
    EXPECT_EQ(ReadFileBytes(path_).size(), 7000u * Line("a line of some ordinary length for the log").size());
}

// --- a file that cannot be written ---

TEST_F(InterfaceLogTest, LinesWaitForAFolderThatIsMissingAtFirst) {
    testing::ScopedTraceCapture trace;
    testing::RemoveTree(scratch_.Join("tolvo"));
    WriteLog("one");
    WriteLog("two");
    CloseLog();
    EXPECT_NE(trace.text().find("Interface log: cannot open"), std::string::npos);
    ASSERT_TRUE(testing::MakeFolder(scratch_.Join("tolvo")));
    WriteLog("three");
    CloseLog();
    EXPECT_EQ(ReadFileBytes(path_), Line("one") + Line("two") + Line("three"));
}

TEST_F(InterfaceLogTest, AFileHeldElsewhereIsNeitherEmptiedNorWrittenAndLinesWait) {
    ASSERT_TRUE(testing::WriteFileBytes(path_, "theirs"));
    platform::FileHandle held = realFiles.OpenExclusive(path_.c_str(), false);
    ASSERT_NE(held, platform::kInvalidFile);
    StartLog(installDirectory);
    WriteLog("mine");
    CloseLog();
    realFiles.Close(held);
    EXPECT_EQ(ReadFileBytes(path_), "theirs");
    WriteLog("later");
    CloseLog();
    EXPECT_EQ(ReadFileBytes(path_), Line("mine") + Line("later"));
}

// A write that breaks off leaves the start of a line in the file. A flush that
// appends (here the close after a flush) goes on from there; one that empties the
// file (the next start-up) writes that line whole: no line is lost, repeated or cut.
TEST_F(InterfaceLogTest, AWriteThatBreaksOffIsResumedWithoutLosingRepeatingOrCuttingLines) {
    for (const bool emptied : {false, true}) {
        std::string expected;
        for (int i = 0; i < 100; ++i) {
            const std::string text = "line " + std::to_string(i) + std::string(40, '.');
            WriteLog(text);
            expected += Line(text);
        }
        writesAllowed = 2;  // two whole chunks, then half of the third
        if (emptied) CloseLog(); else FlushLog(0);
        const std::size_t cut = 2 * kLogCopyChunk + kLogCopyChunk / 2;
        EXPECT_EQ(ReadFileBytes(path_), expected.substr(0, cut));
        writesAllowed = -1;
        if (emptied) {
            WriteLog("next");
            CloseLog();
            const std::size_t cutLine = expected.rfind('\n', cut - 1) + 1;
            EXPECT_EQ(ReadFileBytes(path_), expected.substr(cutLine) + Line("next"));
        } else {
            CloseLog();
            EXPECT_EQ(ReadFileBytes(path_), expected);
        }
    }
}

// The note of lines lost breaks off in the file: it stays whole in the buffer and
// the next start-up writes it whole, once, with no fragment.
TEST_F(InterfaceLogTest, ANoteOfLostLinesThatBreaksOffIsWrittenWholeOnceLater) {
    StartLog(installDirectory);
    refuseOpen = true;
    const std::string text(1000 - 13, 'z');  // 1000-byte lines
    for (int i = 0; i < 1200; ++i) WriteLog(text);
    refuseOpen = false;
    const std::size_t kept = kLogUnwrittenLimit / 1000;
    bytesAllowed = static_cast<long>(kept * 1000 + 20);  // into the note
    CloseLog();
    bytesAllowed = -1;
    WriteLog("next");
    CloseLog();
    const std::string note = Line(std::to_string(1200 - kept) + " log lines lost: the log file could not be written");
    EXPECT_EQ(ReadFileBytes(path_), note + Line("next"));
}

TEST_F(InterfaceLogTest, UnwritableLinesAreKeptUpToTheBoundThenCountedInTheFile) {
    testing::ScopedTraceCapture trace;
    StartLog(installDirectory);
    refuseOpen = true;
    const std::string text(1000 - 13, 'z');  // 1000-byte lines
    const int lines = 1200;                  // 1.2 MB, past the bound
    for (int i = 0; i < lines; ++i) WriteLog(text);
    const std::string& seen = trace.text();
    const std::string marker = "further lines go to the debug trace only";
    ASSERT_NE(seen.find(marker), std::string::npos);
    EXPECT_EQ(seen.find(marker), seen.rfind(marker));
    refuseOpen = false;
    CloseLog();
    const std::string file = ReadFileBytes(path_);
    const std::size_t kept = kLogUnwrittenLimit / 1000;
    const std::string note = Line(std::to_string(lines - kept) + " log lines lost: the log file could not be written");
    EXPECT_EQ(file.size(), kept * 1000 + note.size());
    EXPECT_EQ(file.substr(file.size() - note.size()), note);
}

#if !defined(_WIN32)
// --- the time stamp after January 2038 (POSIX) ---

// The clocks read a moment past 2^31 seconds, 19 January 2038 03:14:08 UTC, where a
// 32-bit time_t ends; the conversion is the stand-in's own.
platform::WallClockReading After2038() { return {(std::int64_t{1} << 31) + 1, 250000000}; }
platform::TimeOfDay LogClockAfter2038() {
    static platform::LocalTimeCache cache(
        platform::LocalTimeClocks{After2038, platform::LocalTimeOfSecond});
    return cache.Now();
}

class UtcZone {
public:
    UtcZone() {
        if (const char* tz = std::getenv("TZ")) saved_ = tz, hadZone_ = true;
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    ~UtcZone() {
        if (hadZone_) setenv("TZ", saved_.c_str(), 1); else unsetenv("TZ");
        tzset();
    }

private:
    std::string saved_;
    bool hadZone_ = false;
};

TEST_F(InterfaceLogTest, ALineWrittenAfterJanuary2038CarriesItsTime) {
    UtcZone utc;
    platform::SystemOps system = platform::System();
    system.LocalTimeOfDay = LogClockAfter2038;
    platform::ScopedSystemOps clock(system);
    StartLog(installDirectory);
    WriteLog("after 2038");
    CloseLog();
    EXPECT_EQ(ReadFileBytes(path_), "<3:14:09>   after 2038\r\n");
}
#endif

}  // namespace
}  // namespace kestar
