// kestar-host's answers to what it was given: errors as one line (and, with --json,
// as one JSON object on stdout too), and the words for arguments it cannot use.
#pragma once

#include <cstdio>
#include <string>

namespace kestar::tools {

// Exit statuses of kestar-host.
constexpr int kHostSucceeded = 0;
constexpr int kHostCallFailed = 1;  // a call returned failure, or start-up did
constexpr int kHostUsageError = 2;  // a usage error, or a module that cannot be loaded

// Whether --json is among the arguments, wherever it stands (an error found before
// it is reached is answered in JSON too).
bool JsonWanted(int argc, char** argv);

// Writes "kestar-host: <error>" (and "  <hint>") to stderr and, with json, the object
// {"error":...,"hint":...,"exit":...} as one line on stdout. Returns exit.
int ReportError(bool json, int exit, const std::string& error, const std::string& hint = std::string());
// The same, written to out and err.
int ReportErrorTo(std::FILE* out, std::FILE* err, bool json, int exit, const std::string& error,
                  const std::string& hint = std::string());

// The one-line error for an argument that is no command: out of range, or unknown
// with the nearest command names.
std::string CommandError(const std::string& arg);

}  // namespace kestar::tools
