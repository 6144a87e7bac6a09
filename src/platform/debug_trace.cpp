#include "platform/debug_trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kestar::platform {

TraceWriter detail::installedWriter = nullptr;

TraceWriter InstallTraceWriter(TraceWriter writer) {
    TraceWriter previous = detail::installedWriter;
    detail::installedWriter = writer;
    return previous;
}

void TraceText(const char* text) {
    if (detail::installedWriter != nullptr) {
        detail::installedWriter(text);
    } else if (detail::systemTraceOn) {
        SystemTraceWrite(text);
    }
}

void Trace(const char* format, ...) {
    if (!TraceEnabled()) return;
    char line[kTraceLineSize];
    va_list args;
    va_start(args, format);
    const int needed = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (needed < 0) return;  // a format the C library refused: nothing to send
    if (static_cast<std::size_t>(needed) >= sizeof line) {
        // Cut: vsnprintf has ended the text inside the area. A cut line keeps its
        // line break, so the next line still starts on a line of its own.
        const std::size_t formatLength = std::strlen(format);
        if (formatLength > 0 && format[formatLength - 1] == '\n') line[sizeof line - 2] = '\n';
    }
    TraceText(line);
}

}  // namespace kestar::platform
