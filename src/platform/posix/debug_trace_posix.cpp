#include "platform/debug_trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestar::platform {
namespace {

// Opened at load from $KESTAR_TRACE and closed at unload: a host that loads and
// unloads the module again and again must not collect one open file per load.
// Lines sent after the close (by other routines of the unload) go nowhere.
class TraceTarget {
public:
    TraceTarget() {
        const char* target = std::getenv("KESTAR_TRACE");
        if (target == nullptr || *target == '\0') return;
        file_ = std::strcmp(target, "stderr") == 0 ? stderr : std::fopen(target, "ae");
    }
    ~TraceTarget() {
        std::FILE* file = file_;
        file_ = nullptr;
        if (file != nullptr && file != stderr) std::fclose(file);
    }
    TraceTarget(const TraceTarget&) = delete;
    TraceTarget& operator=(const TraceTarget&) = delete;
    std::FILE* file() const { return file_; }

private:
    std::FILE* file_ = nullptr;
};

// Read once, at load: the environment of the process decides for the module's life.
TraceTarget traceTarget;

}  // namespace

bool SystemTraceEnabled() { return traceTarget.file() != nullptr; }

void SystemTraceWrite(const char* text) {
    std::FILE* file = traceTarget.file();
    if (file == nullptr) return;
    std::fputs(text, file);
    std::fflush(file);
}

}  // namespace kestar::platform
