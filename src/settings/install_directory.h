// The host's installation directory, from its App Paths registration, and the
// administrator test that decides with which access that key is opened.
#pragma once

#include <string>

namespace kestar {

// Module-wide: empty until a lookup finds a directory; the log and the settings
// reader put their fixed relative paths behind it.
extern std::string installDirectory;

constexpr const char* kAppPathsKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tolvo6.exe";
constexpr const char* kAppPathValue = "Path";

// 1 when the process counts as run by an administrator (version word with bit 31
// set, or the Administrators group anywhere in the token's group list), else 0.
int IsAdministrator();

// 1 with an existing directory left in directory; 0 otherwise, with directory
// emptied, except when the App Paths key cannot be opened, which leaves it as it was.
// Where the registry has no such key at all, the platform's stand-in (POSIX:
// $KESTAR_INSTALL_DIR) is taken through the same existence test.
// A directory whose log or settings path the file calls cannot reach (too long, or
// on Windows a name outside the ANSI code page) counts as no directory, with one
// trace line that says why.
int FindInstallDirectory(std::string& directory);

// Why the module's files under directory are out of the file calls' reach; empty
// when they are not.
std::string InstallDirectoryOutOfReach(const std::string& directory);

}  // namespace kestar
