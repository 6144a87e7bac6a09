// The watch screen on a terminal: readings generated with a fixed seed drawn through
// the screen into a model terminal of several widths (both builds), and kestar-host
// watch itself in a pseudo-terminal of 80 and 120 columns (POSIX). Every screen must
// keep each line within the width, show the latest reading's counter and status in
// the live area, and keep one line per taken point and event above it.
#include "host-tool/installation.h"
#include "host-tool/screen_model.h"

#include "support/program_run.h"
#include "watch_screen.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace kestar::testing {
namespace {

constexpr int kWidths[] = {40, 80, 120, 200};

// What the screen must show after the readings so far: the permanent lines in order,
// then the live area for the last reading.
void ExpectScreen(const ScreenModel& screen, const std::vector<tools::WatchReading>& shown, int width) {
    const std::vector<std::string> rows = screen.Rows();
    std::size_t row = 0;
    for (const tools::WatchReading& reading : shown) {
        const std::string event = tools::EventLine(reading);
        if (event.empty()) continue;
        ASSERT_LT(row, rows.size());
        EXPECT_EQ(rows[row++], event.substr(0, static_cast<std::size_t>(width - 1)));
    }
    const std::vector<std::string> live = tools::LiveLines(shown.back(), width);
    ASSERT_EQ(rows.size(), row + live.size()) << "the live area follows the permanent lines, nothing else";
    for (const std::string& line : live) EXPECT_EQ(rows[row++], line);
    const std::string first = rows[rows.size() - live.size()];
    EXPECT_EQ(first.rfind("#" + std::to_string(shown.back().number) + " ", 0), 0u) << first;
    EXPECT_NE(first.find(shown.back().status), std::string::npos) << "the status is on the live area's first line";
    EXPECT_FALSE(screen.wrapped());
    EXPECT_FALSE(screen.unknownCode());
}

TEST(WatchScreen, GeneratedReadingsStayWithinEveryWidthWithOneLinePerPointAndEvent) {
    std::mt19937 random(17);
    std::uniform_real_distribution<double> coordinate(-99999.0, 99999.0);
    const char* statuses[] = {"ok", "Interface Error", "Port in Use"};
    for (int width : kWidths) {
        SCOPED_TRACE("width " + std::to_string(width));
        std::string written;
        {
            // The screen writes to a file, which the model then reads back.
            std::FILE* file = std::tmpfile();
            ASSERT_NE(file, nullptr);
            tools::WatchScreen screen(file, tools::WatchMode::kLiveArea, width);
            ScreenModel model(width);
            std::vector<tools::WatchReading> shown;
            for (long n = 1; n <= 60; ++n) {
                tools::WatchReading reading;
                reading.number = n;
                reading.seconds = 0.01 * static_cast<double>(n * n);
                reading.position = {coordinate(random), coordinate(random), coordinate(random)};
                reading.measured = {coordinate(random), coordinate(random), coordinate(random)};
                const unsigned kind = random() % 8;
                reading.pointTaken = kind == 0 ? 1 : 0;
                reading.eventCode = kind == 1 ? 1002 : 0;
                reading.status = statuses[random() % 3];
                reading.result = reading.status == std::string("ok") ? 1 : 0;
                const long before = std::ftell(file);
                screen.Show(reading);
                shown.push_back(reading);
                std::fseek(file, before, SEEK_SET);
                std::string bytes;
                for (int c; (c = std::fgetc(file)) != EOF;) bytes += static_cast<char>(c);
                model.Apply(bytes);
                ExpectScreen(model, shown, width);
                if (HasFatalFailure() || HasFailure()) break;
            }
            std::fclose(file);
        }
    }
}

TEST(WatchScreen, EachLiveLayoutFitsItsWidthAndTwoLinesOnlyWhenOneDoesNot) {
    tools::WatchReading reading;
    reading.number = 123456;
    reading.seconds = 98765.4;
    reading.position = {-12345.678, 23456.789, -34567.891};
    reading.measured = {45678.123, -56789.234, 67890.345};
    reading.status = "ok";
    for (int width = 20; width <= 200; ++width) {
        const std::vector<std::string> lines = tools::LiveLines(reading, width);
        for (const std::string& line : lines) EXPECT_LT(line.size(), static_cast<std::size_t>(width)) << width;
        const std::string one = tools::LiveLines(reading, 1000).front();
        EXPECT_EQ(lines.size(), one.size() < static_cast<std::size_t>(width) ? 1u : 2u) << width;
        if (width < 80) continue;
        // From 80 columns on nothing is cut: every coordinate and the status show whole.
        const std::string shown = lines.front() + " " + lines.back();
        for (const char* text :
             {"-12345.678", "23456.789", "-34567.891", "45678.123", "-56789.234", "67890.345", " ok"}) {
            EXPECT_NE(shown.find(text), std::string::npos) << width << ": " << shown;
        }
    }
}

// The probe of a console's escape codes blanks what it printed: never a negative count
// (about 4 G cells) when the probe wrapped at the buffer's end and the screen scrolled.
TEST(WatchScreen, TheProbeBlanksTheCellsItPrintedAndNoneWhenTheCursorWentBack) {
    EXPECT_EQ(tools::CellsPrinted(10, 5, 13, 5, 80), 3u);
    EXPECT_EQ(tools::CellsPrinted(78, 5, 1, 6, 80), 3u);
    EXPECT_EQ(tools::CellsPrinted(78, 24, 1, 24, 80), 0u);
    EXPECT_EQ(tools::CellsPrinted(5, 24, 5, 23, 80), 0u);
}

#if !defined(_WIN32)
class WatchInTerminal : public HostInstallation {};

// kestar-host watch in a real pseudo-terminal: points every third reading.
TEST_F(WatchInTerminal, At80And120ColumnsTheStatusShowsAndEveryPointKeepsItsLine) {
    SetEnvironment("ARMSIM_POINT_EVERY", "3");
    const char* capture = std::getenv("KESTAR_WATCH_CAPTURE");  // a folder for the screens, to look at
    for (int width : {80, 120}) {
        SCOPED_TRACE("width " + std::to_string(width));
        const ProgramOutput run =
            RunProgramInTerminal(Host(), {"watch", "--count", "7", "--interval", "10"}, width, 20000);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, 0) << run.out;
        // The screen from the first reading on (the results of the calls around it are
        // the plain text of every command).
        const std::size_t begin = run.out.find("\n#1 ");
        ASSERT_NE(begin, std::string::npos) << run.out;
        const std::size_t end = run.out.find("TerminateCommunications", begin);
        ScreenModel model(width);
        model.Apply(run.out.substr(begin + 1, end - begin - 1));
        EXPECT_FALSE(model.wrapped());
        EXPECT_FALSE(model.unknownCode());
        const std::vector<std::string> rows = model.Rows();
        std::vector<std::string> points;
        std::size_t firstLive = 0;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].find("point taken") != std::string::npos) points.push_back(rows[i]);
            if (rows[i].rfind("#7 ", 0) == 0) firstLive = i;
        }
        ASSERT_EQ(points.size(), 2u) << run.out;
        EXPECT_EQ(points[0].rfind("#3 ", 0), 0u);
        EXPECT_EQ(points[1].rfind("#6 ", 0), 0u);
        ASSERT_NE(firstLive, 0u) << "the last reading's live area";
        EXPECT_NE(rows[firstLive].find("ok"), std::string::npos) << rows[firstLive];
        EXPECT_EQ(tools::LiveLines(tools::WatchReading{}, width).size(), width < 120 ? 2u : 1u);
        if (capture != nullptr) {
            std::string text;
            for (const std::string& row : rows) text += row + "\n";
            WriteFileBytes(std::string(capture) + "/watch-" + std::to_string(width) + ".txt", text);
        }
    }
    SetEnvironment("ARMSIM_POINT_EVERY", nullptr);
}
#endif

}  // namespace
}  // namespace kestar::testing
