// The registry store: one folder a key, one file a value.
//
// Key and value names are matched without regard to case, as the Windows registry
// does: each name is kept on disk in lower case (Windows-1252's letters folded as
// Windows folds them, e.g. 0xC4 to 0xE4), with every byte outside [a-z0-9 _-.]
// (and a leading '.') written as %XX, so no name can climb out of its folder. A
// name whose written form would pass kMaxEncodedName bytes is kept as '#' and two
// 64-bit FNV-1a sums of that form ('#' being escaped, no other name looks so), so
// that Windows' name lengths (a key 255 characters, a value 16,383) fit any file
// system. A value file starts with '=' (never the first byte of a key folder, '='
// being escaped) and holds the type as four little-endian bytes, then the data.
// Values are written to a side file and renamed into place, so a crash leaves
// either the old value or the new one.
#include "platform/registry.h"

#include "platform/posix/posix_calls.h"

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

constexpr long kRegKeyDeleted = 1018;
constexpr std::uint32_t kKeySetValue = 0x0002u;
constexpr std::uint32_t kKeyCreateSubKey = 0x0004u;
constexpr std::uint32_t kWriteBits = kKeySetValue | kKeyCreateSubKey;
constexpr std::uint32_t kCreatedNewKey = 1;
constexpr std::uint32_t kOpenedExistingKey = 2;
constexpr std::size_t kMaxEncodedName = 240;  // below every file system's name limit
constexpr std::size_t kMaxKeyName = 255;       // characters of one key name, as Windows takes them
constexpr std::size_t kMaxValueName = 16383;   // characters of a value name
constexpr std::size_t kMaxValueFile = 4 + (16u << 20);  // type word and 16 MiB of data

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

// A byte of the name in lower case: ASCII, and the letters of Windows-1252 that
// have both cases there.
unsigned char Folded(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return static_cast<unsigned char>(c + 0x20);
    switch (c) {
        case 0x8A: return 0x9A;  // S caron
        case 0x8C: return 0x9C;  // OE
        case 0x8E: return 0x9E;  // Z caron
        case 0x9F: return 0xFF;  // Y diaeresis
        default: return c;
    }
}

std::string Sum(const std::string& text, std::uint64_t basis) {
    std::uint64_t sum = basis;
    for (const char c : text) sum = (sum ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(sum));
    return hex;
}

// The name as it is kept on disk; false for a name longer than longest characters.
bool Encode(const char* name, std::string& encoded, std::size_t longest) {
    encoded.clear();
    static const char hex[] = "0123456789ABCDEF";
    if (std::strlen(name) > longest) return false;
    for (const char* p = name; *p != '\0'; ++p) {
        const unsigned char c = Folded(static_cast<unsigned char>(*p));
        bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' || c == '_' || c == '-' ||
                     (c == '.' && p != name);
        if (plain) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 15];
        }
    }
    if (encoded.size() > kMaxEncodedName) {
        encoded = "#" + Sum(encoded, 0xCBF29CE484222325ull) + Sum(encoded, 0x84222325CBF29CE4ull);
    }
    return true;
}

// Appends the components of a backslash path to folder. A trailing backslash is
// accepted; an empty component anywhere else is not a key name.
long Resolve(std::string& folder, const char* path) {
    if (path == nullptr) return kRegSuccess;
    std::string rest(path);
    if (!rest.empty() && rest.back() == '\\') rest.pop_back();
    if (rest.empty()) return kRegSuccess;
    std::size_t start = 0;
    while (true) {
        std::size_t end = rest.find('\\', start);
        std::string component = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (component.empty()) return kRegBadPathname;
        std::string encoded;
        if (!Encode(component.c_str(), encoded, kMaxKeyName)) return kRegInvalidParameter;
        folder += "/" + encoded;
        if (end == std::string::npos) return kRegSuccess;
        start = end + 1;
    }
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
    if (!Encode(name != nullptr ? name : "", encoded, kMaxValueName)) {
        status = kRegInvalidParameter;
        return false;
    }
    file = folder + "/=" + encoded;
    return true;
}

// A value is a regular file of bounded size. Anything else under a value's name
// (a FIFO that would block the open, a link to an endless device, a folder) is no
// value, and a file beyond the bound is refused instead of read into memory.
long ReadWhole(const std::string& file, std::vector<unsigned char>& bytes) {
    int fd = Posix().open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) return kRegFileNotFound;
    struct stat info {};
    if (Posix().fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        Posix().close(fd);
        return kRegFileNotFound;
    }
    if (info.st_size > static_cast<off_t>(kMaxValueFile)) {
        Posix().close(fd);
        return kRegOutOfMemory;
    }
    unsigned char chunk[4096];
    while (true) {
        ssize_t got = Posix().read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            Posix().close(fd);
            return kRegFileNotFound;
        }
        if (got == 0) break;
        // The file may grow while it is read: the bound holds for what is taken.
        if (bytes.size() + static_cast<std::size_t>(got) > kMaxValueFile) {
            Posix().close(fd);
            return kRegOutOfMemory;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    Posix().close(fd);
    return kRegSuccess;
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

bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        ssize_t put = Posix().write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

long StoreSetValueEx(RegHandle key, const char* name, std::uint32_t type, const unsigned char* data, std::uint32_t size) {
    std::string file;
    bool mayWrite = false;
    long status = kRegSuccess;
    if (!ValueFile(key, name, file, mayWrite, status)) return status;
    if (!mayWrite) return kRegAccessDenied;
    if (data == nullptr && size > 0) return kRegInvalidParameter;
    static unsigned counter = 0;
    std::string side = file.substr(0, file.find_last_of('/')) + "/=~" + std::to_string(::getpid()) + "." +
                       std::to_string(++counter);
    int fd = Posix().open(side.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return kRegAccessDenied;
    const unsigned char header[4] = {static_cast<unsigned char>(type), static_cast<unsigned char>(type >> 8),
                                     static_cast<unsigned char>(type >> 16), static_cast<unsigned char>(type >> 24)};
    bool written = WriteAll(fd, header, sizeof header) && (size == 0 || WriteAll(fd, data, size));
    written = Posix().close(fd) == 0 && written;
    if (!written || Posix().rename(side.c_str(), file.c_str()) != 0) {
        Posix().unlink(side.c_str());
        return kRegOutOfMemory;
    }
    return kRegSuccess;
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
