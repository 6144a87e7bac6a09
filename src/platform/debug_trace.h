// The debug trace: diagnostic text for the debugger's output channel.
//
// Windows: OutputDebugStringA, always on (DebugView and debuggers show it).
// POSIX: $KESTAR_TRACE names a file to append to, or "stderr"; unset, the trace is off.
// A test installs its own writer to see the text.
#pragma once

namespace kestar::platform {

using TraceWriter = void (*)(const char* text);

// True when text sent to the trace goes anywhere; callers skip formatting otherwise.
bool TraceEnabled();

// Sends text unchanged.
void TraceText(const char* text);

// printf-style; the formatted text is sent whole, however long.
void Trace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Replaces the writer (nullptr: back to the system channel); returns the previous one.
TraceWriter InstallTraceWriter(TraceWriter writer);

// The system channel of this platform.
bool SystemTraceEnabled();
void SystemTraceWrite(const char* text);

}  // namespace kestar::platform
