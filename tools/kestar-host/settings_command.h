// kestar-host settings: the settings file start-up reads, shown and changed one
// value at a time, each line judged by the doctor (the module's own rules).
//
// A change keeps every other byte of the file: its comments, key order, line ends
// and encoding (single-byte text as it is, UTF-16 with its byte order mark). It is
// written as a new file beside the old one ("vodrane.ini.new"), judged as start-up
// would read it, and only then put in the old one's place by one rename, after the
// old file's bytes were kept as "vodrane.ini.bak" (the same way). A write that stops
// half-way leaves the old file as it was.
#pragma once

#include <string>
#include <vector>

namespace kestar::tools {

// The names beside the settings file.
constexpr const char* kNewFileSuffix = ".new";
constexpr const char* kBackupSuffix = ".bak";

struct SettingsRequest {
    enum class Action { kShow, kSet, kInit };
    Action action = Action::kShow;
    std::string key;    // kSet: CreateLogFile or PORTn, as the module spells it
    std::string value;  // kSet
    bool force = false; // kSet: written even where start-up would refuse the line
    bool json = false;
    // kInit: the values written in place of the commented defaults (KEY=VALUE; an
    // empty value keeps the default), the install folder to write into in place of
    // the one the App Paths entry names (its tolvo made when missing), and whether
    // a file that is there already is kept as it is (exit 0) rather than refused.
    std::vector<std::pair<std::string, std::string>> values;
    std::string folder;
    bool keep = false;
};

// The arguments after "settings" (the program's own options, --json and --module,
// may stand anywhere). False with problem set on a usage error.
bool ParseSettingsArguments(const std::vector<std::string>& args, SettingsRequest& request, std::string& problem);

// Carries the request out and prints what it did. Exit status: 0 done, 1 refused
// or failed.
int RunSettings(const SettingsRequest& request);

}  // namespace kestar::tools
