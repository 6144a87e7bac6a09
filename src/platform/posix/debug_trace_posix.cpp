#include "platform/debug_trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestar::platform {

bool detail::systemTraceOn = false;  // until the trace file is open

namespace {

// The trace file is opened for what it is, as the log is: a final link is not
// followed, a FIFO or device does not hold the load, and only a plain file is
// written; anything else leaves the trace off. (The system-call table is not used:
// this runs while the module is being loaded, before anything could replace it.)
std::FILE* OpenTraceFile(const char* path) {
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    struct stat info{};
    std::FILE* file = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? fdopen(fd, "a") : nullptr;
    if (file == nullptr) ::close(fd);
    return file;
}

// Opened at load from $KESTAR_TRACE and closed at unload: a host that loads and
// unloads the module again and again must not collect one open file per load.
// Lines sent after the close (by other routines of the unload) go nowhere.
class TraceTarget {
public:
    TraceTarget() {
        const char* target = std::getenv("KESTAR_TRACE");
        if (target == nullptr || *target == '\0') return;
        file_ = std::strcmp(target, "stderr") == 0 ? stderr : OpenTraceFile(target);
        detail::systemTraceOn = file_ != nullptr;
    }
    ~TraceTarget() {
        std::FILE* file = file_;
        file_ = nullptr;
        detail::systemTraceOn = false;
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


void SystemTraceWrite(const char* text) {
    std::FILE* file = traceTarget.file();
    if (file == nullptr) return;
    std::fputs(text, file);
    std::fflush(file);
}

}  // namespace kestar::platform
