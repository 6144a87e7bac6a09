#include "trace_command.h"

#include "command_line.h"
#include "host_commands.h"

#include "platform/files.h"

#include <chrono>
#include <csignal>
#include <ctime>

namespace kestar::tools {
namespace {

constexpr int kWaitMs = 100;

// The local time now as "HH:MM:SS.mmm"; the calendar is worked out once a second.
std::string LocalTimeNow() {
    thread_local std::time_t lastSecond = -1;
    thread_local std::tm local{};
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    if (seconds != lastSecond) {
#if defined(_WIN32)
        localtime_s(&local, &seconds);
#else
        localtime_r(&seconds, &local);
#endif
        lastSecond = seconds;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms));
    return text;
}

bool ParseCount(const std::string& text, long& out) {
    int value = 0;
    if (ParseInt32(text, value) != Parsed::kOk || value < 0) return false;
    out = value;
    return true;
}

std::string PidJson(unsigned long pid) { return pid != 0 ? std::to_string(pid) : "null"; }

// The lines shown also go to a new file, opened as the log is: a plain file only.
class SaveFile {
public:
    explicit SaveFile(const std::string& path) {
        if (!path.empty()) file_ = platform::Files().OpenExclusive(path.c_str(), true);
    }
    ~SaveFile() {
        if (file_ != platform::kInvalidFile) platform::Files().Close(file_);
    }
    SaveFile(const SaveFile&) = delete;
    SaveFile& operator=(const SaveFile&) = delete;
    bool open() const { return file_ != platform::kInvalidFile; }
    // False once a write failed.
    bool Write(const std::string& text) {
        std::uint32_t written = 0;
        if (file_ != platform::kInvalidFile &&
            !platform::Files().Write(file_, text.data(), static_cast<std::uint32_t>(text.size()), &written)) {
            platform::Files().Close(file_);
            file_ = platform::kInvalidFile;
            return false;
        }
        return true;
    }

private:
    platform::FileHandle file_ = platform::kInvalidFile;
};

std::atomic<bool> interrupted{false};

extern "C" void OnTraceInterrupt(int) { interrupted = true; }

}  // namespace

bool ParseTraceArguments(const std::vector<std::string>& args, TraceRequest& request, std::string& problem) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool valued = arg == "--pid" || arg == "--save" || arg == "--file" || arg == "--lines" ||
                            arg == "--seconds" || arg == "--module";
        if (valued && i + 1 >= args.size()) {
            problem = arg + " needs a value";
            return false;
        }
        long number = 0;
        if (arg == "--json") {
            request.json = true;
        } else if (arg == "--all") {
            request.all = true;
        } else if (arg == "--module") {
            ++i;  // the program's own option: the trace does not depend on it
        } else if (arg == "--save") {
            request.savePath = args[++i];
        } else if (arg == "--lines" || arg == "--seconds") {
            if (!ParseCount(args[++i], number)) {
                problem = arg + " needs a number of 0 or more";
                return false;
            }
            (arg == "--lines" ? request.lines : request.seconds) = number;
#if defined(_WIN32)
        } else if (arg == "--pid") {
            if (!ParseCount(args[++i], number) || number == 0) {
                problem = "--pid needs a process id (Task Manager's PID column)";
                return false;
            }
            request.pid = static_cast<unsigned long>(number);
        } else if (arg == "--file") {
            problem = "--file is for Linux; on Windows trace reads the system's debug output";
            return false;
#else
        } else if (arg == "--file") {
            request.file = args[++i];
        } else if (arg == "--pid") {
            problem = "the trace file carries no process ids: --pid is for Windows";
            return false;
#endif
        } else {
            problem = "trace takes --json, --all, --pid N, --save FILE, --file PATH, --lines N and --seconds N, not " +
                      arg;
            return false;
        }
    }
    return true;
}

void TraceLines::Add(const TracePiece& piece, std::vector<TraceLine>& lines) {
    TraceLine& part = part_[piece.pid];
    std::size_t at = 0;
    while (at < piece.text.size()) {
        if (part.text.empty()) {
            part.time = LocalTimeNow();
            part.pid = piece.pid;
            part.module = piece.module;
        }
        const std::size_t end = piece.text.find('\n', at);
        const std::size_t stop = end == std::string::npos ? piece.text.size() : end;
        part.text.append(piece.text, at, stop - at);
        at = end == std::string::npos ? stop : end + 1;
        if (end != std::string::npos || part.text.size() >= kMostPartLine) {
            if (!part.text.empty() && part.text.back() == '\r') part.text.pop_back();
            lines.push_back(std::move(part));
            part = TraceLine{};
        }
    }
}

void TraceLines::Flush(std::vector<TraceLine>& lines) {
    for (auto& [pid, part] : part_) {
        if (!part.text.empty()) lines.push_back(std::move(part));
    }
    part_.clear();
}

std::string RenderTraceLine(const TraceLine& line, bool json) {
    if (json) {
        return "{\"time\":\"" + line.time + "\",\"pid\":" + PidJson(line.pid) + ",\"text\":" + JsonString(line.text) +
               "}";
    }
    return line.time + (line.pid != 0 ? " [" + std::to_string(line.pid) + "] " : " ") + line.text;
}

int FollowTrace(const TraceRequest& request, const std::atomic<bool>& stop, std::FILE* out, std::FILE* err,
                TraceCounts& counts) {
    TraceSourceError error;
    const std::unique_ptr<TraceSource> source = OpenSystemTrace(request.file, !request.all, error);
    if (source == nullptr) return ReportErrorTo(out, err, request.json, kTraceUnreadable, error.found, error.todo);
    SaveFile save(request.savePath);
    if (!request.savePath.empty() && !save.open()) {
        return ReportErrorTo(out, err, request.json, kTraceUnreadable,
                             "cannot write '" + request.savePath +
                                 "': a folder that is not there, a link, FIFO or device, or a file another program "
                                 "holds",
                             "give --save the path of a new file in a folder you may write");
    }
#if defined(_WIN32)
    std::fprintf(err, "kestar-host trace: reading the system's debug output (%s); Ctrl+C stops\n",
                 request.all ? "every program's lines" : "lines of programs with the module loaded; --all for every "
                                                         "program's");
#else
    std::fprintf(err, "kestar-host trace: following the trace file %s; Ctrl+C stops\n",
                 (request.file.empty() ? std::getenv("KESTAR_TRACE") : request.file.c_str()));
#endif
    std::fflush(err);
    if (request.ready != nullptr) *request.ready = true;

    const auto begin = std::chrono::steady_clock::now();
    TraceLines assembler;
    std::vector<TracePiece> pieces;
    std::vector<TraceLine> lines;
    bool saveFailed = false;
    auto show = [&](const TraceLine& line) {
        if (request.lines >= 0 && counts.shown >= static_cast<unsigned long>(request.lines)) return;
        if (!(request.all || line.module) || (request.pid != 0 && line.pid != request.pid)) {
            ++counts.leftOut;
            return;
        }
        const std::string text = RenderTraceLine(line, request.json) + "\n";
        std::fputs(text.c_str(), out);
        if (!save.Write(text)) saveFailed = true;
        ++counts.shown;
    };
    auto limitReached = [&] {
        return (request.lines >= 0 && counts.shown >= static_cast<unsigned long>(request.lines)) ||
               (request.seconds >= 0 && std::chrono::steady_clock::now() - begin >= std::chrono::seconds(request.seconds));
    };
    while (!stop && !limitReached()) {
        pieces.clear();
        lines.clear();
        source->Take(kWaitMs, pieces);
        counts.pieces += pieces.size();
        for (const TracePiece& piece : pieces) assembler.Add(piece, lines);
        for (const TraceLine& line : lines) show(line);
        if (pieces.empty()) std::fflush(out);  // a burst is written out when it pauses
    }
    lines.clear();
    assembler.Flush(lines);
    for (const TraceLine& line : lines) show(line);
    if (request.json) {
        std::fprintf(out, "{\"shown\":%lu,\"received\":%lu,\"leftOut\":%lu,\"saveFailed\":%s}\n", counts.shown,
                     counts.pieces, counts.leftOut, saveFailed ? "true" : "false");
    }
    std::fflush(out);
#if defined(_WIN32)
    std::fprintf(err, "kestar-host trace: lines shown %lu, texts the system gave %lu, lines left out (other "
                      "programs or processes) %lu%s\n",
                 counts.shown, counts.pieces, counts.leftOut,
                 saveFailed ? "; writing the --save file failed: it holds the lines before the failure" : "");
#else
    std::fprintf(err, "kestar-host trace: lines shown %lu, reads of the file %lu%s\n", counts.shown, counts.pieces,
                 saveFailed ? "; writing the --save file failed: it holds the lines before the failure" : "");
#endif
    std::fflush(err);
    return kTraceEnded;
}

int RunTrace(const TraceRequest& request) {
    std::signal(SIGINT, OnTraceInterrupt);
    TraceCounts counts;
    return FollowTrace(request, interrupted, stdout, stderr, counts);
}

SessionTrace::SessionTrace() : source_(OpenSessionTrace(error_)) {}

std::vector<TraceLine> SessionTrace::Take(bool end) {
    std::vector<TraceLine> lines;
    if (source_ == nullptr) return lines;
    std::vector<TracePiece> pieces;
    source_->Take(0, pieces);
    for (const TracePiece& piece : pieces) lines_.Add(piece, lines);
    if (end) lines_.Flush(lines);
    return lines;
}

}  // namespace kestar::tools
