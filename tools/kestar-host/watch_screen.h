// kestar-host watch: readings shown as they come. On a terminal one live area of
// one or two lines, laid out to the terminal's width and rewritten in place, with
// a permanent line above it for every taken point and event; anywhere else (a
// file, a pipe, a console without escape codes) one plain line per reading.
#pragma once

#include "kestar.h"

#include <cstdio>
#include <string>
#include <vector>

namespace kestar::tools {

// The shortest and default pause between readings, in milliseconds.
constexpr int kWatchMinIntervalMs = 10;
constexpr int kWatchDefaultIntervalMs = 200;

// One reading as the screen shows it.
struct WatchReading {
    long number = 0;       // 1 for the first reading
    double seconds = 0;    // since watch began
    int result = 0;        // what GetCommData returned
    Point3 position{};
    Point3 measured{};
    int pointTaken = 0;
    int eventCode = 0;
    std::string status;    // "ok", or the block's errorText
};

// The live area for a terminal width columns wide: one line when everything fits,
// else two with the counter, time and status on the first (from 80 columns on, the
// coordinates of up to five digits before the point fit whole). No line reaches the
// last column, so that none wraps.
std::vector<std::string> LiveLines(const WatchReading& reading, int width);

// The permanent line of a taken point or an event; empty when the reading has neither.
std::string EventLine(const WatchReading& reading);

// The one line of a reading where output is not a terminal.
std::string PlainLine(const WatchReading& reading);

// The console cells a text printed from (fromX, fromY) to (toX, toY) covered on a
// screen width cells wide; 0 when the cursor did not move on (the text wrapped at
// the buffer's end and the screen scrolled under it), never a negative count.
unsigned long CellsPrinted(int fromX, int fromY, int toX, int toY, int width);

enum class WatchMode {
    kLines,      // a file or a pipe: one plain line per reading
    kConsole,    // a console that takes no escape codes: each screen's lines, written below each other
    kLiveArea,   // a terminal: the live area rewritten in place
};

// Where the screen writes: which mode it takes, and the width. On Windows the
// console is put into virtual-terminal mode while this lives, and given back its
// mode afterwards; a console that refuses it, or takes it and still prints the
// codes, gets lines that fit its width.
class WatchOutput {
public:
    explicit WatchOutput(std::FILE* out);
    ~WatchOutput();
    WatchOutput(const WatchOutput&) = delete;
    WatchOutput& operator=(const WatchOutput&) = delete;

    WatchMode mode() const { return mode_; }
    int width() const { return width_; }

private:
    WatchMode mode_ = WatchMode::kLines;
    int width_ = 80;
    // Windows only: the console whose mode is given back, and that mode.
    [[maybe_unused]] unsigned long previousMode_ = 0;
    [[maybe_unused]] void* console_ = nullptr;
};

// Writes readings to out in the mode given.
class WatchScreen {
public:
    WatchScreen(std::FILE* out, WatchMode mode, int width) : out_(out), mode_(mode), width_(width) {}
    void Show(const WatchReading& reading);
    // A permanent line above the live area (the live area is drawn again by the next Show).
    void Note(const std::string& line);
    // Leaves the cursor on a fresh line below the live area.
    void End();

private:
    std::FILE* out_;
    WatchMode mode_;
    int width_;
    std::size_t liveLines_ = 0;  // lines of the live area on the screen now
};

}  // namespace kestar::tools
