#include "platform/profile.h"

#include <windows.h>

namespace kestar::platform {
namespace {

std::uint32_t WinGetPrivateProfileString(const char* section, const char* key, const char* def, char* buffer,
                                         std::uint32_t size, const char* path) {
    return ::GetPrivateProfileStringA(section, key, def, buffer, size, path);
}

}  // namespace

ProfileOps ProfileDefaults() { return ProfileOps{WinGetPrivateProfileString}; }

}  // namespace kestar::platform
