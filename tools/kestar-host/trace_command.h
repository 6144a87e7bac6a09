// kestar-host trace: the module's debug trace as it happens, one line each, with
// the time it came and (Windows) the process that sent it; and the trace of the
// tool's own session beside its output (--trace).
#pragma once

#include "trace_source.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kestar::tools {

struct TraceRequest {
    bool json = false;
    bool all = false;             // every program's lines, not only those of processes with the module
    unsigned long pid = 0;        // only this process's lines; 0: any
    std::string savePath;         // the lines shown also written to this new file
    std::string file;             // POSIX: the trace file (empty: $KESTAR_TRACE)
    long lines = -1;              // stop after this many lines shown
    long seconds = -1;            // stop after this many seconds
    std::atomic<bool>* ready = nullptr;  // set once the trace is being read
};

// The arguments after "trace" (--json may stand anywhere). False with problem set
// on a usage error.
bool ParseTraceArguments(const std::vector<std::string>& args, TraceRequest& request, std::string& problem);

// One line of the trace: the text without its line break.
struct TraceLine {
    std::string time;  // "HH:MM:SS.mmm", local time, when its first part came
    unsigned long pid = 0;
    bool module = true;
    std::string text;
};

// Joins the pieces each process sends into lines (a piece may hold part of a line,
// or several lines). A part line longer than kMostPartLine is given out as it is.
class TraceLines {
public:
    static constexpr std::size_t kMostPartLine = 8192;
    void Add(const TracePiece& piece, std::vector<TraceLine>& lines);
    // The part lines still waiting, as lines.
    void Flush(std::vector<TraceLine>& lines);

private:
    std::map<unsigned long, TraceLine> part_;
};

// A line as printed: "HH:MM:SS.mmm [pid] text" (no pid where it is not known), or
// its JSON object.
std::string RenderTraceLine(const TraceLine& line, bool json);

struct TraceCounts {
    unsigned long pieces = 0;   // texts the system gave
    unsigned long shown = 0;    // lines shown
    unsigned long leftOut = 0;  // lines of other programs or processes, not shown
};

constexpr int kTraceEnded = 0;      // stopped by Ctrl+C or a limit
constexpr int kTraceUnreadable = 1;  // the trace cannot be read; the line says why

// Reads the trace until stop is set or a limit of the request is reached, writing
// each line shown to out and what it does to err. Returns the exit status.
int FollowTrace(const TraceRequest& request, const std::atomic<bool>& stop, std::FILE* out, std::FILE* err,
                TraceCounts& counts);

// FollowTrace on stdout and stderr until Ctrl+C.
int RunTrace(const TraceRequest& request);

// The trace of this process's own session, shown between the tool's own lines.
class SessionTrace {
public:
    // Before the module is loaded (POSIX: the trace file is chosen at load).
    SessionTrace();
    bool on() const { return source_ != nullptr; }
    const TraceSourceError& error() const { return error_; }
    // The whole lines sent since the last call (end: the part line too).
    std::vector<TraceLine> Take(bool end = false);

private:
    TraceSourceError error_;  // before source_, which is made with it
    std::unique_ptr<TraceSource> source_;
    TraceLines lines_;
};

}  // namespace kestar::tools
