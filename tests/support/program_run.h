// Runs a program as a separate process, the way an integrator runs kestar-host.
#pragma once

#include <string>
#include <vector>

namespace kestar::testing {

struct ProgramRun {
    int exitCode = -1;
    std::string out;  // standard output; standard error is dropped
};

// Runs program with args in folder (the child's current folder; empty: this one's)
// and waits for it to end.
ProgramRun RunProgramIn(const std::string& folder, const std::string& program, const std::vector<std::string>& args);

}  // namespace kestar::testing
