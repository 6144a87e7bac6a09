#include "platform/debug_trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestar::platform {
namespace {

// Opened on first use from $KESTAR_TRACE and kept for the life of the process.
std::FILE* TraceFile() {
    static std::FILE* const file = [] () -> std::FILE* {
        const char* target = std::getenv("KESTAR_TRACE");
        if (target == nullptr || *target == '\0') return nullptr;
        if (std::strcmp(target, "stderr") == 0) return stderr;
        return std::fopen(target, "a");
    }();
    return file;
}

// Read once, at load: the environment of the process decides for its whole life.
const bool traceOn = TraceFile() != nullptr;

}  // namespace

bool SystemTraceEnabled() { return traceOn; }

void SystemTraceWrite(const char* text) {
    std::FILE* file = TraceFile();
    if (file == nullptr) return;
    std::fputs(text, file);
    std::fflush(file);
}

}  // namespace kestar::platform
