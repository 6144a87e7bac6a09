#include "platform/debug_assert.h"

#include "platform/debug_trace.h"

namespace kestar::platform {
namespace {

AssertionReporter installedReporter = nullptr;

}  // namespace

void AssertionFailed(const char* unit, int line) {
    if (installedReporter != nullptr) {
        installedReporter(unit, line);
        return;
    }
    Trace("%s(%d): assertion failed\n", unit, line);
    BreakIntoDebugger();
}

AssertionReporter InstallAssertionReporter(AssertionReporter reporter) {
    AssertionReporter previous = installedReporter;
    installedReporter = reporter;
    return previous;
}

}  // namespace kestar::platform
