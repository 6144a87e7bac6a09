#include "platform/profile.h"

#include "platform/debug_trace.h"
#include "platform/files.h"

#include <windows.h>
// The table's slots are named after the calls; the header's A/W macros would rename them.
#undef GetPrivateProfileString

#include <cstring>

namespace kestar::platform {
namespace {

// The system reader follows links and would read a device or a file of any size;
// the file is first opened for what it is, as the portable reader opens it.
bool ReadableAsSettings(const char* path) {
    FileOps& files = Files();
    const FileHandle file = files.OpenForReading(path);
    if (file == kInvalidFile) {
        // Missing or unreadable: the system reader says so itself. But a folder that is
        // a junction or link it would follow: that one is refused here.
        if (!HoldingFolderRefused(path)) return true;
        Trace("File '%s' is in a folder that is a link or junction: not read\n", path);
        return false;
    }
    FileInfo info{};
    bool ok = files.GetFileInfo(file, &info) && info.regular;
    if (!ok) {
        Trace("File '%s' is not a regular file: not read\n", path);
    } else if (info.size > kMaxSettingsFileBytes) {
        Trace("File '%s' holds more than %lu bytes: not read\n", path,
              static_cast<unsigned long>(kMaxSettingsFileBytes));
        ok = false;
    }
    files.Close(file);
    return ok;
}

// What the system reader gives for a missing file: the default without its
// trailing blanks, cut to the buffer.
std::uint32_t CopyDefault(const char* def, char* buffer, std::uint32_t size) {
    std::size_t n = def != nullptr ? std::strlen(def) : 0;
    while (n > 0 && def[n - 1] == ' ') --n;
    if (n > size - 1) n = size - 1;
    if (n > 0) std::memcpy(buffer, def, n);
    buffer[n] = '\0';
    return static_cast<std::uint32_t>(n);
}

std::uint32_t WinGetPrivateProfileString(const char* section, const char* key, const char* def, char* buffer,
                                         std::uint32_t size, const char* path) {
    if (path != nullptr && buffer != nullptr && size > 0 && !ReadableAsSettings(path)) {
        return CopyDefault(def, buffer, size);
    }
    return ::GetPrivateProfileStringA(section, key, def, buffer, size, path);
}

}  // namespace

ProfileOps ProfileDefaults() {
    ProfileOps ops{};
    ops.GetPrivateProfileString = WinGetPrivateProfileString;
    return ops;
}

}  // namespace kestar::platform
