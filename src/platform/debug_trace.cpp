#include "platform/debug_trace.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace kestar::platform {
namespace {

TraceWriter installedWriter = nullptr;

}  // namespace

TraceWriter InstallTraceWriter(TraceWriter writer) {
    TraceWriter previous = installedWriter;
    installedWriter = writer;
    return previous;
}

bool TraceEnabled() { return installedWriter != nullptr || SystemTraceEnabled(); }

void TraceText(const char* text) {
    if (installedWriter != nullptr) {
        installedWriter(text);
    } else if (SystemTraceEnabled()) {
        SystemTraceWrite(text);
    }
}

void Trace(const char* format, ...) {
    if (!TraceEnabled()) return;
    char local[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int needed = std::vsnprintf(local, sizeof local, format, args);
    va_end(args);
    if (needed < 0) {
        va_end(again);
        return;
    }
    if (static_cast<unsigned>(needed) < sizeof local) {
        va_end(again);
        TraceText(local);
        return;
    }
    std::vector<char> large(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    TraceText(large.data());
}

}  // namespace kestar::platform
