// The registry store: one folder a key, one file a value (the names and the value
// files: registry_posix_files.h). Handles stand for folders; a handle to a key that
// was deleted answers as the registry does.
#include "platform/registry.h"

#include "platform/posix/posix_calls.h"
#include "platform/posix/registry_posix_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestar::platform {
namespace {

using store::Encode;
using store::ReadWhole;
using store::Resolve;
using store::WriteValueFile;

constexpr long kRegKeyDeleted = 1018;
constexpr std::uint32_t kKeySetValue = 0x0002u;
constexpr std::uint32_t kKeyCreateSubKey = 0x0004u;
constexpr std::uint32_t kWriteBits = kKeySetValue | kKeyCreateSubKey;
constexpr std::uint32_t kCreatedNewKey = 1;
constexpr std::uint32_t kOpenedExistingKey = 2;

struct OpenKeyRecord {
    std::string folder;
    bool mayWrite;
};

std::map<RegHandle, OpenKeyRecord>& OpenKeys() {
    static std::map<RegHandle, OpenKeyRecord> keys;
    return keys;
}

RegHandle nextHandle = 0x1000;

const char* RootName(RegHandle root) {
    switch (root) {
        case kHkeyClassesRoot: return "hkey_classes_root";
        case kHkeyCurrentUser: return "hkey_current_user";
        case kHkeyLocalMachine: return "hkey_local_machine";
        case kHkeyUsers: return "hkey_users";
        default: return nullptr;
    }
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return Posix().stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MakeFolders(const std::string& path) {
    if (path.empty() || IsDirectory(path)) return !path.empty();
    std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash))) return false;
    // A file of the same name is no key: the key cannot be made there.
    return Posix().mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && IsDirectory(path));
}

// The folder a handle stands for; empty for an unknown handle.
bool FolderOf(RegHandle key, std::string& folder, bool& mayWrite) {
    if (const char* root = RootName(key)) {
        std::string store = RegistryStoreFolder();
        if (store.empty()) return false;
        folder = store + "/" + root;
        // The predefined roots always exist.
        MakeFolders(folder);
        mayWrite = ::access(folder.c_str(), W_OK) == 0;
        return true;
    }
    auto found = OpenKeys().find(key);
    if (found == OpenKeys().end()) return false;
    folder = found->second.folder;
    mayWrite = found->second.mayWrite;
    return true;
}

RegHandle Remember(const std::string& folder, bool mayWrite) {
    RegHandle handle = nextHandle;
    nextHandle += 4;
    OpenKeys()[handle] = OpenKeyRecord{folder, mayWrite};
    return handle;
}

// The key a handle stands for was deleted while the handle was open.
bool Deleted(RegHandle key, const std::string& folder) { return RootName(key) == nullptr && !IsDirectory(folder); }

long OpenFolder(RegHandle root, const char* path, std::uint32_t access, RegHandle* result) {
    *result = 0;
    std::string folder;
    bool parentMayWrite = false;
    if (!FolderOf(root, folder, parentMayWrite)) return kRegInvalidHandle;
    if (Deleted(root, folder)) return kRegKeyDeleted;
    long status = Resolve(folder, path);
    if (status != kRegSuccess) return status == kRegBadPathname ? kRegFileNotFound : status;
    if (!IsDirectory(folder)) return kRegFileNotFound;
    bool mayWrite = ::access(folder.c_str(), W_OK) == 0;
    if ((access & kWriteBits) != 0 && !mayWrite) return kRegAccessDenied;
    *result = Remember(folder, (access & kWriteBits) != 0);
    return kRegSuccess;
}

long CreateFolder(RegHandle root, const char* path, std::uint32_t access, RegHandle* result,
                  std::uint32_t* disposition) {
    *result = 0;
    std::string folder;
    bool parentMayWrite = false;
    if (!FolderOf(root, folder, parentMayWrite)) return kRegInvalidHandle;
    if (Deleted(root, folder)) return kRegKeyDeleted;
    long status = Resolve(folder, path);
    if (status != kRegSuccess) return status;
    bool existed = IsDirectory(folder);
    if (!existed) {
        if (!parentMayWrite) return kRegAccessDenied;
        if (!MakeFolders(folder)) return kRegAccessDenied;
    }
    bool mayWrite = ::access(folder.c_str(), W_OK) == 0;
    if ((access & kWriteBits) != 0 && !mayWrite) return kRegAccessDenied;
    if (disposition != nullptr) *disposition = existed ? kOpenedExistingKey : kCreatedNewKey;
    *result = Remember(folder, (access & kWriteBits) != 0);
    return kRegSuccess;
}

long StoreOpenKeyEx(RegHandle root, const char* path, std::uint32_t, std::uint32_t access, RegHandle* result) {
    return OpenFolder(root, path, access, result);
}

long StoreOpenKey(RegHandle parent, const char* subKey, RegHandle* result) {
    if (subKey == nullptr || *subKey == '\0') {
        // As on Windows: the parent itself comes back.
        std::string folder;
        bool mayWrite = false;
        if (!FolderOf(parent, folder, mayWrite)) {
            *result = 0;
            return kRegInvalidHandle;
        }
        *result = parent;
        return kRegSuccess;
    }
    std::string folder;
    bool mayWrite = false;
    if (!FolderOf(parent, folder, mayWrite)) {
        *result = 0;
        return kRegInvalidHandle;
    }
    long status = OpenFolder(parent, subKey, kKeyRead, result);
    if (status == kRegSuccess) OpenKeys()[*result].mayWrite = ::access(OpenKeys()[*result].folder.c_str(), W_OK) == 0;
    return status;
}

long StoreCreateKeyEx(RegHandle root, const char* path, std::uint32_t, std::uint32_t access, RegHandle* result,
                      std::uint32_t* disposition) {
    return CreateFolder(root, path, access, result, disposition);
}

long StoreCreateKey(RegHandle parent, const char* path, RegHandle* result) {
    if (path == nullptr || *path == '\0') return StoreOpenKey(parent, path, result);
    long status = CreateFolder(parent, path, kKeyRead, result, nullptr);
    if (status == kRegSuccess) OpenKeys()[*result].mayWrite = ::access(OpenKeys()[*result].folder.c_str(), W_OK) == 0;
    return status;
}

long StoreCloseKey(RegHandle key) {
    if (RootName(key) != nullptr) return kRegSuccess;
    return OpenKeys().erase(key) == 1 ? kRegSuccess : kRegInvalidHandle;
}

bool HasSubKeys(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.' || entry->d_name[0] == '=') continue;
        found = true;
        break;
    }
    ::closedir(dir);
    return found;
}

long StoreDeleteKey(RegHandle key, const char* subKey) {
    std::string folder;
    bool mayWrite = false;
    if (!FolderOf(key, folder, mayWrite)) return kRegInvalidHandle;
    // A predefined root is there for good, as on Windows.
    if (RootName(key) != nullptr && (subKey == nullptr || *subKey == '\0')) return kRegAccessDenied;
    if (Deleted(key, folder)) return kRegKeyDeleted;
    long status = Resolve(folder, subKey);
    if (status != kRegSuccess) return kRegFileNotFound;
    if (!IsDirectory(folder)) return kRegFileNotFound;
    if (HasSubKeys(folder)) return kRegAccessDenied;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return kRegAccessDenied;
    std::vector<std::string> values;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '=') values.push_back(folder + "/" + entry->d_name);
    }
    ::closedir(dir);
    for (const std::string& value : values) Posix().unlink(value.c_str());
    return Posix().rmdir(folder.c_str()) == 0 ? kRegSuccess : kRegAccessDenied;
}

bool ValueFile(RegHandle key, const char* name, std::string& file, bool& mayWrite, long& status) {
    std::string folder;
    if (!FolderOf(key, folder, mayWrite)) {
        status = kRegInvalidHandle;
        return false;
    }
    if (!IsDirectory(folder)) {
        status = kRegKeyDeleted;
        return false;
    }
    std::string encoded;
    if (!Encode(name != nullptr ? name : "", encoded, store::kMaxValueName)) {
        status = kRegInvalidParameter;
        return false;
    }
    file = folder + "/=" + encoded;
    return true;
}

long StoreQueryValueEx(RegHandle key, const char* name, std::uint32_t* type, unsigned char* data, std::uint32_t* size) {
    std::string file;
    bool mayWrite = false;
    long status = kRegSuccess;
    if (!ValueFile(key, name, file, mayWrite, status)) return status;
    std::vector<unsigned char> bytes;
    status = ReadWhole(file, bytes);
    if (status != kRegSuccess) return status;
    if (bytes.size() < 4) return kRegFileNotFound;
    if (data != nullptr && size == nullptr) return kRegInvalidParameter;
    const std::uint32_t stored = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                                 static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    const std::uint32_t length = static_cast<std::uint32_t>(bytes.size() - 4);
    if (type != nullptr) *type = stored;
    if (data != nullptr) {
        if (*size < length) {
            *size = length;
            return kRegMoreData;
        }
        if (length > 0) std::memcpy(data, bytes.data() + 4, length);
    }
    if (size != nullptr) *size = length;
    return kRegSuccess;
}

long StoreSetValueEx(RegHandle key, const char* name, std::uint32_t type, const unsigned char* data, std::uint32_t size) {
    std::string file;
    bool mayWrite = false;
    long status = kRegSuccess;
    if (!ValueFile(key, name, file, mayWrite, status)) return status;
    if (!mayWrite) return kRegAccessDenied;
    if (data == nullptr && size > 0) return kRegInvalidParameter;
    return WriteValueFile(file, type, data, size);
}

}  // namespace

RegistryOps RegistryDefaults() {
    RegistryOps ops{};
    ops.OpenKeyEx = StoreOpenKeyEx;
    ops.OpenKey = StoreOpenKey;
    ops.CreateKeyEx = StoreCreateKeyEx;
    ops.CreateKey = StoreCreateKey;
    ops.CloseKey = StoreCloseKey;
    ops.DeleteKey = StoreDeleteKey;
    ops.QueryValueEx = StoreQueryValueEx;
    ops.SetValueEx = StoreSetValueEx;
    return ops;
}

std::string RegistryStoreFolder() {
    const char* chosen = std::getenv("KESTAR_REGISTRY");
    if (chosen != nullptr && *chosen != '\0') return chosen;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && *config != '\0') return std::string(config) + "/kestar/registry";
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return std::string(home) + "/.config/kestar/registry";
    return std::string();
}

std::string AppPathStandIn() {
    const char* directory = std::getenv("KESTAR_INSTALL_DIR");
    return directory != nullptr ? std::string(directory) : std::string();
}

}  // namespace kestar::platform
