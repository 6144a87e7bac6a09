#include "settings/install_directory.h"

#include "log/interface_log.h"
#include "platform/debug_trace.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/system.h"
#include "settings/regkey.h"
#include "settings/settings_file.h"

#include <cstdint>

namespace kestar {

std::string installDirectory;

namespace {

constexpr std::uint32_t kNonNtPlatform = 0x80000000u;
constexpr std::uint32_t kTokenGroupsAreaSize = 1024;
constexpr std::uint32_t kBuiltinDomainRid = 32;
constexpr std::uint32_t kAdministratorsAliasRid = 544;

// The token walk proper, on a group list that fits the fixed area.
int TokenListsAdministrators(const platform::TokenGroups& groups) {
    platform::SecurityOps& security = platform::Security();
    const platform::SidIdentifierAuthority ntAuthority = {{0, 0, 0, 0, 0, 5}};
    const std::uint32_t subAuthorities[8] = {kBuiltinDomainRid, kAdministratorsAliasRid, 0, 0, 0, 0, 0, 0};
    platform::Sid* administrators = nullptr;
    if (!security.AllocateAndInitializeSid(&ntAuthority, 2, subAuthorities, &administrators)) return 0;
    // A count larger than what the area can hold is not walked past its end.
    const std::uint32_t room =
        (kTokenGroupsAreaSize - static_cast<std::uint32_t>(sizeof(std::uint32_t))) / sizeof(platform::SidAndAttributes);
    std::uint32_t count = groups.groupCount < room ? groups.groupCount : room;
    int result = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (groups.groups[i].sid != nullptr && security.EqualSid(groups.groups[i].sid, administrators)) {
            result = 1;
            break;
        }
    }
    security.FreeSid(administrators);
    return result;
}

}  // namespace

int IsAdministrator() {
    if ((platform::System().GetVersion() & kNonNtPlatform) != 0) return 1;
    platform::SecurityOps& security = platform::Security();
    platform::TokenHandle token = 0;
    if (!security.OpenProcessToken(platform::kTokenRead, &token)) return 0;
    alignas(8) unsigned char area[kTokenGroupsAreaSize] = {};
    std::uint32_t returned = 0;
    bool read = security.GetTokenInformation(token, platform::kTokenGroupsClass, area, sizeof area, &returned);
    security.CloseHandle(token);
    if (!read) return 0;
    return TokenListsAdministrators(*reinterpret_cast<const platform::TokenGroups*>(area));
}

std::string InstallDirectoryOutOfReach(const std::string& directory) {
    // The log's path is the longer of the two under the folder.
    for (const char* file : {kLogFilePath, kSettingsFilePath}) {
        const std::string path = directory + platform::LocalPath(file);
        const std::string why = platform::PathOutOfReach(path);
        if (!why.empty()) return "the path '" + path.substr(0, 80) + (path.size() > 80 ? "...'" : "'") + " of its files: " + why;
    }
    return std::string();
}

int FindInstallDirectory(std::string& directory) {
    RegKey key(platform::kHkeyLocalMachine, kAppPathsKey, IsAdministrator());
    if (!key.Open()) {
        // An entry that exists but refused the access asked for is no reason to look elsewhere.
        RegKey present(platform::kHkeyLocalMachine, kAppPathsKey, 0);
        const std::string standIn = platform::AppPathStandIn();
        if (present.Open() || standIn.empty()) return 0;
        directory = standIn;
    } else if (!key.QueryString(directory, kAppPathValue) || directory.empty()) {
        directory.clear();
        return 0;
    }
    const std::string outOfReach = InstallDirectoryOutOfReach(directory);
    if (!outOfReach.empty()) {
        platform::Trace("Install folder from App Paths cannot be used: %s; start-up goes on without an install folder\n",
                        outOfReach.c_str());
        directory.clear();
        return 0;
    }
    if (platform::Files().GetFileAttributes(directory.c_str()) == platform::kInvalidFileAttributes) {
        directory.clear();
        return 0;
    }
    return 1;
}

}  // namespace kestar
