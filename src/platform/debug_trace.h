// The debug trace: diagnostic text for the debugger's output channel.
//
// Windows: OutputDebugStringA, always on (DebugView and debuggers show it).
// POSIX: $KESTAR_TRACE names a file to append to, or "stderr"; unset, the trace is off.
// A test installs its own writer to see the text.
//
// Sending a line allocates nothing: the module's host calls GetCommData in its
// measuring loop, and every reading sends one line.
#pragma once

#include "platform/compiler.h"

#include <cstddef>

namespace kestar::platform {

using TraceWriter = void (*)(const char* text);

// The most a formatted trace line holds, its terminator included. A reading's line
// (six doubles of any size and the status) needs at most 1,904 characters, so it
// always fits whole; a longer text is cut to kTraceLineSize - 1 characters, still
// ending in its line break when its format ends in one.
constexpr std::size_t kTraceLineSize = 2048;

namespace detail {
// Read on every reading without a call: the writer a test installed, and whether
// the system channel takes text (Windows: always; POSIX: while the trace file is open).
extern TraceWriter installedWriter;
extern bool systemTraceOn;
}  // namespace detail

// True when text sent to the trace goes anywhere; callers skip formatting otherwise.
inline bool TraceEnabled() { return detail::installedWriter != nullptr || detail::systemTraceOn; }

// Sends text unchanged.
void TraceText(const char* text);

// printf-style, formatted into a fixed area of kTraceLineSize bytes.
void Trace(const char* format, ...)
    KESTAR_PRINTF_FORMAT(1, 2);

// Replaces the writer (nullptr: back to the system channel); returns the previous one.
TraceWriter InstallTraceWriter(TraceWriter writer);

// The system channel of this platform.
void SystemTraceWrite(const char* text);

}  // namespace kestar::platform
