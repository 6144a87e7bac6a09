// The few things the doctor asks of the system itself rather than of the module's
// own code: the module file's version, whether the log file could be had, who
// holds a file, and a console that shows UTF-8.
#pragma once

#include <string>

namespace kestar::host {

// A value of the file's version resource ("FileVersion", "SourceCommit"); empty when
// it has none. POSIX: the same two values from the module's source text, which a
// shared object carries in place of a version resource.
std::string ModuleFileVersion(const std::string& path, const char* value = "FileVersion");

enum class FileAccess {
    kWritable,  // it could be opened for writing, exclusively
    kHeld,      // another process holds it
    kDenied,    // this user may not write it
    kFolder,    // a folder stands where the file should be
    kOther,     // some other failure; detail says which
};

// Opens an existing file for writing, without truncating, moving or writing it,
// with the exclusivity the interface log asks for, and closes it again.
FileAccess ProbeExistingFile(const std::string& path, std::string& detail);

// Creates a scratch file in folder and removes it again: whether a new log file
// could be created there. detail names the failure.
bool ProbeCreateIn(const std::string& folder, std::string& detail);

// The processes that have path open ("1234 (cat)"), where the system can say;
// empty otherwise.
std::string FileHolders(const std::string& path);

// Makes a console show the UTF-8 output (Windows); nothing elsewhere.
void PrepareConsole();

// The path separator of this platform.
char Separator();

}  // namespace kestar::host
