// The fault sweep: every outside call a scenario makes goes through the platform
// seam, so each can be counted and failed. A sweep runs the scenario once to count
// its calls, then once more for each call k that the real system can fail, failing
// that call with an error the system gives for it ("once"), and again failing call
// k and every later call of the same kind ("from k on"). Every run must end well:
// a defined result, nothing left open or allocated, nothing hung, and every log
// line written before the fault present and well-formed in the log file.
//
// The seam in use during a sweep: the simulated UART for the serial devices, the
// fake arm, a tick count that moves one millisecond a reading (a sleep moves it
// by its length, at once), and the system's own registry, files and profile
// reader over a scratch installation.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestar::testing {

enum class SweepMode { kCount, kFailOnce, kFailFrom };

// A scenario. run does the work under the fault and returns an empty text when
// every result was one the module may give for what it met, else what was wrong.
// Then, with no fault: finish does what comes next in any case (the host's
// shut-down, say), and recover starts the module up and shuts it down again,
// returning what was wrong with that. logFile is the interface log's file.
struct SweepScenario {
    std::string name;
    std::function<std::string()> run;
    std::function<void()> finish;
    std::function<std::string()> recover;
    std::string logFile;
};

struct SweepFigures {
    std::uint32_t outsideCalls = 0;  // every call through the seam in the counting run
    std::uint32_t failableCalls = 0; // of them, calls the system can fail
    std::string callsByName;         // the failable calls, "name count, ..."
    std::uint32_t every = 1;         // every n-th failable call was failed
    std::uint32_t onceRuns = 0, onceWell = 0;
    std::uint32_t fromRuns = 0, fromWell = 0;
    std::vector<std::string> problems;  // one line per run that did not end well
};

// Runs the sweep of one scenario, failing every `every`-th failable call.
SweepFigures RunSweep(const SweepScenario& scenario, std::uint32_t every);

// The seam wrapped for counting and failing while it lives; used by RunSweep and by
// the regular tests that replay one run the sweep found.
class SweepSeam {
public:
    SweepSeam();
    ~SweepSeam();
    SweepSeam(const SweepSeam&) = delete;
    SweepSeam& operator=(const SweepSeam&) = delete;

    // Starts a run: counts from zero and fails as mode says at failable call k (1-based).
    void Arm(SweepMode mode, std::uint32_t k);
    // Stops failing; calls are still counted.
    void Disarm();
    std::uint32_t outsideCalls() const;
    std::uint32_t failableCalls() const;
    // The name of the call failed at k and the error given; empty when none was.
    std::string failedCall() const;
    // What was left open or allocated through the seam since construction; empty when nothing.
    std::string Leftovers() const;
    // The debug trace since the last Arm.
    const std::string& trace() const;
};

}  // namespace kestar::testing
