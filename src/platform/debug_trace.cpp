#include "platform/debug_trace.h"

#include "platform/text_format.h"

#include <cstdarg>

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
    va_list args;
    va_start(args, format);
    const std::string text = FormatTextV(format, args);
    va_end(args);
    TraceText(text.c_str());
}

}  // namespace kestar::platform
