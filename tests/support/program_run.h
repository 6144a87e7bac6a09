// Runs a program as a separate process, the way an integrator runs kestar-host: with
// its standard output read back, or with both streams and a time limit, or in a
// pseudo-terminal of a given width; and reads its JSON lines.
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

struct ProgramOutput {
    int exitCode = -1;
    bool timedOut = false;
    std::string out;  // stdout and stderr, in the order they were written
};

// Runs program with args in folder (empty: the current one), its output going to a
// file (not a terminal); ends it after timeoutMs.
ProgramOutput RunProgramFor(const std::string& program, const std::vector<std::string>& args, int timeoutMs,
                            const std::string& folder = std::string());

// POSIX: runs program in a new pseudo-terminal of columns x 24 and returns what it
// wrote there, the terminal's own line-break translation included. Windows: not
// available (exitCode -1).
ProgramOutput RunProgramInTerminal(const std::string& program, const std::vector<std::string>& args, int columns,
                                   int timeoutMs);

// The output's lines, without their line breaks ("\r\n" or "\n").
std::vector<std::string> Lines(const std::string& out);

}  // namespace kestar::testing
