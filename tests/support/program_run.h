// Runs a program as a separate process, the way an integrator runs kestar-host, and
// reads its JSON lines.
#pragma once

#include <string>
#include <vector>

namespace kestar::testing {

struct ProgramRun {
    int exitCode = -1;  // -1: it could not be started or did not end normally
    std::string out;    // standard output; standard error is dropped
};

// Runs program with args in folder (the child's current folder; empty: this one's)
// and waits for it to end.
ProgramRun RunProgramIn(const std::string& folder, const std::string& program, const std::vector<std::string>& args);
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args);

// A tool built beside the test binary, by its name without ".exe".
std::string BuiltToolPath(const std::string& name);

// One member of a flat JSON object: a string unescaped, anything else as written;
// "(absent)" when the object has no such member.
std::string JsonMember(const std::string& object, const std::string& name);

// The line of out whose "check" member is name; empty when there is none.
std::string JsonCheck(const std::string& out, const std::string& name);

}  // namespace kestar::testing
