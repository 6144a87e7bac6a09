#include "log/interface_log.h"

#include "platform/debug_trace.h"
#include "platform/files.h"
#include "platform/system.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace kestar {
namespace {

constexpr std::size_t kTimePrefixSize = 16;  // "<23:59:59>   " and room to spare

// The log buffer: a growable byte file reserved a whole growth step at a time, so
// a buffer kept under the limit is allocated once and never moved.
class LogBuffer {
public:
    std::size_t size() const { return size_; }
    const char* data() const { return bytes_.get(); }

    // Room for n more bytes; the caller fills them through End() and then Commit(n).
    void Reserve(std::size_t n) {
        const std::size_t needed = size_ + n;
        if (needed <= capacity_) return;
        const std::size_t capacity = (needed + kLogGrowthStep - 1) / kLogGrowthStep * kLogGrowthStep;
        std::unique_ptr<char[]> grown(new char[capacity]);
        if (size_ > 0) std::memcpy(grown.get(), bytes_.get(), size_);
        bytes_ = std::move(grown);
        capacity_ = capacity;
    }
    char* End() { return bytes_.get() + size_; }
    void Commit(std::size_t n) { size_ += n; }

    void Append(const char* data, std::size_t n) {
        Reserve(n);
        if (n > 0) std::memcpy(End(), data, n);
        Commit(n);
    }

    void Truncate(std::size_t n) {
        if (n < size_) size_ = n;
    }

    void DropFront(std::size_t n) {
        if (n >= size_) {
            size_ = 0;
            return;
        }
        std::memmove(bytes_.get(), bytes_.get() + n, size_ - n);
        size_ -= n;
    }

    // Emptied for the next lines; memory beyond one growth step goes back.
    void Renew() {
        size_ = 0;
        if (capacity_ > kLogGrowthStep) Release();
    }

    void Release() {
        bytes_.reset();
        size_ = 0;
        capacity_ = 0;
    }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

struct LogState {
    LogBuffer buffer;
    bool present = false;
    // Set when the file could not be emptied at start: the next flush that opens it empties it.
    bool emptyPending = false;
    // Buffered bytes at which the next flush is tried; raised after a failed one.
    std::size_t flushAt = kLogBufferLimit;
    bool failing = false;
    bool dropping = false;
    unsigned long droppedLines = 0;
    // Bytes at the front of the buffer that a failed write left in the file: the
    // start of a line the file took only in part. A flush that appends goes on
    // after them; one that empties the file writes the line whole.
    std::size_t partInFile = 0;
    std::string installFolder;  // as start-up last handed it
};

LogState& Log() {
    static LogState state;
    return state;
}

std::size_t FormatTimePrefix(char (&prefix)[kTimePrefixSize]) {
    platform::TimeOfDay now = platform::System().LocalTimeOfDay();
    auto clamp = [](int v, int high) { return v < 0 ? 0 : (v > high ? high : v); };
    const int h = clamp(now.hour, 23);
    const int m = clamp(now.minute, 59);
    const int s = clamp(now.second, 60);
    std::size_t n = 0;
    prefix[n++] = '<';
    if (h >= 10) prefix[n++] = static_cast<char>('0' + h / 10);
    prefix[n++] = static_cast<char>('0' + h % 10);
    prefix[n++] = ':';
    if (m >= 10) prefix[n++] = static_cast<char>('0' + m / 10);
    prefix[n++] = static_cast<char>('0' + m % 10);
    prefix[n++] = ':';
    prefix[n++] = static_cast<char>('0' + s / 10);
    prefix[n++] = static_cast<char>('0' + s % 10);
    std::memcpy(prefix + n, ">   ", 4);
    return n + 4;
}

// Appends the line; with toTrace, the trace gets it from the buffer itself, whole,
// ended by a zero byte after it that the buffer does not count.
void AppendLine(LogBuffer& buffer, const char* prefix, std::size_t prefixSize, std::string_view text,
                bool toTrace = false) {
    const std::size_t n = prefixSize + text.size() + 2;
    buffer.Reserve(n + 1);
    char* end = buffer.End();
    std::memcpy(end, prefix, prefixSize);
    if (!text.empty()) std::memcpy(end + prefixSize, text.data(), text.size());
    end[n - 2] = '\r';
    end[n - 1] = '\n';
    end[n] = '\0';
    buffer.Commit(n);
    if (toTrace) platform::TraceText(end);
}

// A line that cannot be buffered reaches the trace through a fixed area; a text too
// long for the area is cut there, and the line still ends in CR LF.
void TraceLine(const char* prefix, std::size_t prefixSize, std::string_view text) {
    char line[platform::kTraceLineSize];
    static_assert(sizeof line > kTimePrefixSize + 2, "the area holds a prefix and a line end");
    const std::size_t room = sizeof line - prefixSize - 3;  // CR, LF and the terminator
    const std::size_t kept = text.size() < room ? text.size() : room;
    std::memcpy(line, prefix, prefixSize);
    if (kept > 0) std::memcpy(line + prefixSize, text.data(), kept);
    std::memcpy(line + prefixSize + kept, "\r\n", 3);
    platform::TraceText(line);
}

// The end of the last whole line among the first n bytes of the buffer.
std::size_t WholeLines(const LogBuffer& buffer, std::size_t n) {
    while (n > 0 && buffer.data()[n - 1] != '\n') --n;
    return n;
}

// Writes the whole buffer to the end of the file. On failure the whole lines that
// did reach the file leave the buffer, and a line it took only in part is kept
// with partInFile saying how much of it is there, so that a later flush neither
// loses nor repeats lines nor leaves a line cut in the file.
bool WriteBuffer(bool createAnew) {
    LogState& log = Log();
    const std::string path = LogFilePath();
    platform::FileOps& files = platform::Files();
    const bool emptying = createAnew || log.emptyPending;
    platform::FileHandle file = files.OpenExclusive(path.c_str(), emptying);
    if (file == platform::kInvalidFile) {
        platform::Trace("Interface log: cannot open '%s'; %lu bytes kept for a later attempt\n", path.c_str(),
                        static_cast<unsigned long>(log.buffer.size()));
        return false;
    }
    log.emptyPending = false;
    bool ok = files.SeekToEnd(file);
    char area[kLogCopyChunk];
    if (emptying) log.partInFile = 0;
    std::size_t count = log.partInFile;
    const std::size_t length = log.buffer.size();
    while (ok && count < length) {
        const std::size_t chunk = length - count < sizeof area ? length - count : sizeof area;
        std::memcpy(area, log.buffer.data() + count, chunk);
        std::uint32_t written = 0;
        ok = files.Write(file, area, static_cast<std::uint32_t>(chunk), &written);
        count += written <= chunk ? written : chunk;
    }
    ok = files.Close(file) && ok;
    if (ok) {
        log.partInFile = 0;
    } else {
        const std::size_t whole = WholeLines(log.buffer, count);
        log.buffer.DropFront(whole);
        log.partInFile = count - whole;
        platform::Trace("Interface log: writing '%s' failed; %lu bytes kept for a later attempt\n", path.c_str(),
                        static_cast<unsigned long>(log.buffer.size()));
    }
    return ok;
}

// A flush that brings back lines lost while the file could not be written says so.
bool FlushWithLossNote(bool createAnew) {
    LogState& log = Log();
    const std::size_t before = log.buffer.size();
    const bool noted = log.droppedLines > 0;
    if (noted) {
        char prefix[kTimePrefixSize];
        const std::size_t prefixSize = FormatTimePrefix(prefix);
        char note[96];
        std::snprintf(note, sizeof note, "%lu log lines lost: the log file could not be written", log.droppedLines);
        AppendLine(log.buffer, prefix, prefixSize, note);
    }
    const std::size_t withNote = log.buffer.size();
    if (!WriteBuffer(createAnew)) {
        // The note is made anew, with the count then, by the next flush, unless
        // some of it reached the file: then it stays, and counts as written.
        const std::size_t reached = withNote - log.buffer.size() + log.partInFile;
        if (noted && reached <= before) {
            log.buffer.Truncate(before - (withNote - log.buffer.size()));
        } else if (noted) {
            log.droppedLines = 0;
        }
        return false;
    }
    log.droppedLines = 0;
    log.dropping = false;
    log.failing = false;
    log.flushAt = kLogBufferLimit;
    return true;
}

}  // namespace

std::string LogFilePathIn(const std::string& installFolder) {
    return installFolder + platform::LocalPath(kLogFilePath);
}

std::string LogFilePath() { return LogFilePathIn(Log().installFolder); }

void FlushLog(int createAnew) { FlushWithLossNote(createAnew != 0); }

void SetLogFolder(const std::string& installFolder) { Log().installFolder = installFolder; }

void StartLog(const std::string& installFolder) {
    LogState& log = Log();
    if (log.present) return;
    log.installFolder = installFolder;
    log.present = true;
    // Lines an earlier close could not write are still here and go out first.
    if (!FlushWithLossNote(true)) {
        log.emptyPending = true;
        log.failing = true;
        log.flushAt = log.buffer.size() + kLogBufferLimit;
        return;
    }
    log.buffer.Renew();
}

void WriteLog(std::string_view text) {
    char prefix[kTimePrefixSize];
    const std::size_t prefixSize = FormatTimePrefix(prefix);
    const std::size_t n = prefixSize + text.size() + 2;
    LogState& log = Log();
    if (!log.present) StartLog(log.installFolder);
    if (log.buffer.size() + n > log.flushAt) {
        if (FlushWithLossNote(false)) {
            log.buffer.Renew();
        } else {
            log.failing = true;
            log.flushAt = log.buffer.size() + kLogBufferLimit;
        }
    }
    if (log.failing && log.buffer.size() > 0 && log.buffer.size() + n > kLogUnwrittenLimit) {
        if (!log.dropping) {
            platform::Trace("Interface log: %lu bytes unwritten; further lines go to the debug trace only\n",
                            static_cast<unsigned long>(log.buffer.size()));
        }
        log.dropping = true;
        log.flushAt = log.buffer.size();  // try again at the next line
        ++log.droppedLines;
        if (platform::TraceEnabled()) TraceLine(prefix, prefixSize, text);
        return;
    }
    AppendLine(log.buffer, prefix, prefixSize, text, platform::TraceEnabled());
}

bool LogStarted() { return Log().present; }

void DiscardLog() {
    LogState& log = Log();
    log.buffer.Release();
    log = LogState{};
}

void CloseLog() {
    LogState& log = Log();
    if (!log.present) return;
    log.present = false;
    if (FlushWithLossNote(false)) {
        log.buffer.Release();
    }
    // Otherwise the lines stay and open the next log.
    log.flushAt = kLogBufferLimit;
}

}  // namespace kestar
