// Debug-build assertions that name the source unit and the line.
//
// A failed check is reported on the debug trace as "<unit>(<line>): assertion failed"
// and, on Windows with a debugger attached, breaks into it; then the caller goes on,
// as a release build would. A test installs its own reporter to see the reports.
#pragma once

namespace kestar::platform {

using AssertionReporter = void (*)(const char* unit, int line);

void AssertionFailed(const char* unit, int line);

// nullptr restores the trace report; returns the previous reporter.
AssertionReporter InstallAssertionReporter(AssertionReporter reporter);

// Platform part: break into an attached debugger, if any.
void BreakIntoDebugger();

}  // namespace kestar::platform

#if defined(NDEBUG)
#define KESTAR_ASSERT_UNIT(unit, condition) ((void)0)
#else
#define KESTAR_ASSERT_UNIT(unit, condition) \
    ((condition) ? (void)0 : ::kestar::platform::AssertionFailed(unit, __LINE__))
#endif
