// The settings file: <install directory>\tolvo\vodrane.ini, section "Parameters".
#pragma once

#include "platform/profile.h"

#include <cstddef>
#include <string>

namespace kestar {

constexpr const char* kSettingsFilePath = "\\tolvo\\vodrane.ini";
constexpr const char* kSettingsSection = "Parameters";
constexpr std::size_t kSettingAreaSize = 128;  // values are cut to 127 characters

// The keys start-up reads, in its order: CreateLogFile, then PORT1 to PORT6.
constexpr const char* kCreateLogFileKey = "CreateLogFile";
constexpr int kPortKeyCount = 6;
inline std::string PortKey(int n) { return "PORT" + std::to_string(n); }  // n from 1

// Module-wide switch, 0 at load; start-up sets it from "CreateLogFile". Non-zero:
// every value found is echoed into the interface log as "key = value".
extern int settingsEcho;

// 1 with the value text in value when key has a non-empty value; 0 with value
// empty otherwise, after one "Cannot find '<key>' in '<path>'" log line. The file
// is read afresh at every call, unless a SettingsReadOnce lives. A file that is not
// a regular file (a link, FIFO, device or folder) or is larger than a few MiB is
// not read: every key is then missing.
int ReadSetting(std::string& value, const std::string& key);

// While one lives, ReadSetting reads the settings file once and answers every key
// from that reading. Start-up holds one, so that its seven reads cost one reading
// of the file, however large the file is made.
using SettingsReadOnce = platform::ProfileReadOnce;

// The path ReadSetting reads, from the current install directory.
std::string SettingsFilePath();

}  // namespace kestar
