#include "watch_screen.h"

#include "platform/compiler.h"

#include <cstdarg>
#include <cstdlib>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace kestar::tools {
namespace {

// The escape codes the live area uses: back to the line's start and clear it, and
// one line up.
constexpr const char* kClearLine = "\r\x1b[K";
constexpr const char* kLineUp = "\x1b[A";
// A new line, back at its start whether or not the terminal adds the carriage return.
constexpr const char* kNewLine = "\r\n";

std::string Format(const char* format, ...)
    KESTAR_PRINTF_FORMAT(1, 2);

std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

#if defined(_WIN32)
// Whether the console acts on escape codes: a console may take the virtual-terminal
// mode and still print the codes as text (Wine's console on a Unix terminal does).
// The test writes a clear-to-line's-end, which moves no cursor where it is acted on;
// where it was printed, the printed cells are blanked again and the cursor put back.
bool EscapeCodesActedOn(HANDLE console) {
    CONSOLE_SCREEN_BUFFER_INFO before;
    CONSOLE_SCREEN_BUFFER_INFO after;
    DWORD written = 0;
    if (!GetConsoleScreenBufferInfo(console, &before)) return false;
    if (!WriteConsoleA(console, kClearLine + 1, 3, &written, nullptr)) return false;
    if (!GetConsoleScreenBufferInfo(console, &after)) return false;
    const COORD was = before.dwCursorPosition;
    const COORD is = after.dwCursorPosition;
    if (is.X == was.X && is.Y == was.Y) return true;
    const DWORD cells = CellsPrinted(was.X, was.Y, is.X, is.Y, before.dwSize.X);
    if (cells != 0) FillConsoleOutputCharacterA(console, ' ', cells, was, &written);
    SetConsoleCursorPosition(console, was);
    return false;
}
#endif

}  // namespace

unsigned long CellsPrinted(int fromX, int fromY, int toX, int toY, int width) {
    const long cells = static_cast<long>(toY - fromY) * width + (toX - fromX);
    return cells > 0 ? static_cast<unsigned long>(cells) : 0;
}

namespace {

std::string Counter(const WatchReading& r) { return Format("#%-5ld %8.1fs", r.number, r.seconds); }

std::string Coordinates(const char* label, const Point3& p) {
    return Format("%s %9.3f %9.3f %9.3f", label, p.x, p.y, p.z);
}

std::string Fit(std::string line, int width) {
    const std::size_t most = width > 1 ? static_cast<std::size_t>(width - 1) : 1;
    if (line.size() > most) line.resize(most);
    line.erase(line.find_last_not_of(' ') + 1);
    return line;
}

}  // namespace

std::vector<std::string> LiveLines(const WatchReading& r, int width) {
    const std::string position = Coordinates("position", r.position);
    const std::string measured = Coordinates("measured", r.measured);
    const std::string one = Counter(r) + "  " + position + "  " + measured + "  " + r.status;
    if (one.size() < static_cast<std::size_t>(width)) return {one};
    // Shorter labels, so that six coordinates of up to five digits fit 80 columns.
    return {Fit(Counter(r) + "  " + r.status, width),
            Fit(Coordinates("pos", r.position) + "  " + Coordinates("meas", r.measured), width)};
}

std::string EventLine(const WatchReading& r) {
    if (r.pointTaken != 0) return Counter(r) + "  point taken  " + Coordinates("measured", r.measured);
    if (r.eventCode != 0) {
        return Counter(r) + Format("  event %d     ", r.eventCode) + Coordinates("position", r.position);
    }
    return std::string();
}

std::string PlainLine(const WatchReading& r) {
    std::string line = Counter(r) + "  " + Coordinates("position", r.position) + "  " +
                       Coordinates("measured", r.measured) + Format("  point %d event %d  ", r.pointTaken, r.eventCode);
    return line + r.status;
}

void WatchScreen::Show(const WatchReading& reading) {
    if (mode_ == WatchMode::kLines) {
        std::fprintf(out_, "%s\n", PlainLine(reading).c_str());
        std::fflush(out_);
        return;
    }
    if (mode_ == WatchMode::kConsole) {
        const std::string event = EventLine(reading);
        if (!event.empty()) std::fprintf(out_, "%s\n", Fit(event, width_).c_str());
        for (const std::string& line : LiveLines(reading, width_)) std::fprintf(out_, "%s\n", line.c_str());
        std::fflush(out_);
        return;
    }
    std::string text;
    // Back to the first line of the live area, each line cleared on the way.
    for (std::size_t i = 0; i < liveLines_; ++i) text += std::string(i > 0 ? kLineUp : "") + kClearLine;
    const std::string event = EventLine(reading);
    if (!event.empty()) text += Fit(event, width_) + kNewLine;
    const std::vector<std::string> lines = LiveLines(reading, width_);
    for (std::size_t i = 0; i < lines.size(); ++i) text += (i > 0 ? kNewLine : "") + lines[i];
    liveLines_ = lines.size();
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

void WatchScreen::Note(const std::string& line) {
    std::string text;
    for (std::size_t i = 0; i < liveLines_; ++i) text += std::string(i > 0 ? kLineUp : "") + kClearLine;
    liveLines_ = 0;
    text += mode_ == WatchMode::kLines ? line + "\n" : Fit(line, width_) + (mode_ == WatchMode::kLiveArea ? kNewLine : "\n");
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

void WatchScreen::End() {
    if (mode_ == WatchMode::kLiveArea && liveLines_ > 0) std::fputs(kNewLine, out_);
    liveLines_ = 0;
    std::fflush(out_);
}

WatchOutput::WatchOutput(std::FILE* out) {
#if defined(_WIN32)
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return;  // a file or a pipe
    mode_ = WatchMode::kConsole;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(console, &info) && info.srWindow.Right > info.srWindow.Left) {
        width_ = info.srWindow.Right - info.srWindow.Left + 1;
    }
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) {
        if (!SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return;
        console_ = console;
        previousMode_ = mode;
    }
    std::fflush(out);
    if (EscapeCodesActedOn(console)) mode_ = WatchMode::kLiveArea;
#else
    const int fd = fileno(out);
    const char* term = std::getenv("TERM");
    if (fd < 0 || !isatty(fd)) return;
    // A terminal that takes no escape codes gets lines that fit its width.
    mode_ = term != nullptr && std::string(term) == "dumb" ? WatchMode::kConsole : WatchMode::kLiveArea;
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        width_ = size.ws_col;
    } else if (const char* columns = std::getenv("COLUMNS")) {
        const int given = std::atoi(columns);
        if (given > 0) width_ = given;
    }
#endif
}

WatchOutput::~WatchOutput() {
#if defined(_WIN32)
    if (console_ != nullptr) SetConsoleMode(static_cast<HANDLE>(console_), previousMode_);
#endif
}

}  // namespace kestar::tools
