// The POSIX registry store reading what something else left in it: value files of
// any size (no type, a short type, garbage), value names that are folders, FIFOs
// and links to endless devices, key folders under odd names. Input: entries of
// kind byte, name (count byte and bytes), content (count byte and bytes):
//   kind 0: a value file for the name, as the store names it
//   kind 1: a subkey folder for the name       kind 2: a folder where a value is
//   kind 3: a FIFO where a value is            kind 4: a link to /dev/zero there
//   kind 5: a file under the raw name bytes    kind 6: a file where a key is
//   kind 7: written through the registry itself under the name as it is: a binary
//           value of that name, and a key of that name (a path of keys where it
//           holds backslashes) with the same value in it
// Each value is then read raw and through RegKey's typed accessors; results are
// compared with what was written, and every read must end (no hang, no flood).
// Whatever a name holds ("..", slashes, '%', bytes of any value), the store writes
// nothing outside its own folder, and what it took it gives back.
#include "platform/registry.h"
#include "settings/regkey.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace platform = kestar::platform;

constexpr char kKeyPath[] = "SOFTWARE\\Kestar";

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

// The store's own file naming, written out again: lower case (Windows-1252's
// letters too), [a-z0-9 _-.] kept (a leading '.' not), every other byte %XX.
std::string StoreName(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) c = static_cast<unsigned char>(c + 0x20);
        if (c == 0x8A || c == 0x8C || c == 0x8E || c == 0x9F) c = c == 0x9F ? 0xFF : static_cast<unsigned char>(c + 0x10);
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' || c == '_' || c == '-' ||
            (c == '.' && i > 0)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

// A folder of its own around the store: nothing may ever appear in it beside the store.
const std::string& Around() {
    static const std::string folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kestar-registry-fuzz-" +
               std::to_string(::getpid());
    }();
    return folder;
}

const std::string& Store() {
    static const std::string folder = [] {
        std::string path = Around() + "/store";
        ::setenv("KESTAR_REGISTRY", path.c_str(), 1);
        return path;
    }();
    return folder;
}

bool OnlyTheStoreAround() {
    DIR* folder = ::opendir(Around().c_str());
    if (folder == nullptr) return false;
    bool only = true;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        only = only && (name == "." || name == ".." || name == "store");
    }
    ::closedir(folder);
    return only;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;  // a name the file system refuses: nothing there
    if (!bytes.empty() && ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
    ::close(fd);
}

struct Entry {
    unsigned kind;
    std::string name;
    std::string content;
    bool regular;  // a value file with the store's name for name
};

// A value and a key written through the registry under a hostile name, read back.
void WriteThroughTheRegistry(platform::RegHandle key, const Entry& entry) {
    const platform::RegistryOps& registry = platform::Registry();
    const auto* bytes = reinterpret_cast<const unsigned char*>(entry.content.data());
    const auto size = static_cast<std::uint32_t>(entry.content.size());
    const char* name = entry.name.c_str();
    const long set = registry.SetValueEx(key, name, platform::kRegBinary, bytes, size);
    std::vector<unsigned char> back(size + 1, 0xA5);
    std::uint32_t type = 0, got = size + 1;
    const long query = registry.QueryValueEx(key, name, &type, back.data(), &got);
    Check((set == platform::kRegSuccess) == (query == platform::kRegSuccess), "a value written is found");
    if (set == platform::kRegSuccess) {
        Check(type == platform::kRegBinary && got == size && std::memcmp(back.data(), bytes, size) == 0,
              "a value written under a hostile name comes back");
    }

    const std::string path = std::string(kKeyPath) + "\\" + entry.name;
    platform::RegHandle created = 0, opened = 0;
    std::uint32_t disposition = 0;
    if (registry.CreateKeyEx(platform::kHkeyLocalMachine, path.c_str(), 0, platform::kKeyAllAccess, &created,
                             &disposition) != platform::kRegSuccess) {
        return;
    }
    Check(registry.OpenKeyEx(platform::kHkeyLocalMachine, path.c_str(), 0, platform::kKeyRead, &opened) ==
              platform::kRegSuccess,
          "a key made under a hostile name opens");
    if (registry.SetValueEx(created, name, platform::kRegBinary, bytes, size) == platform::kRegSuccess) {
        got = size + 1;
        Check(registry.QueryValueEx(opened, name, &type, back.data(), &got) == platform::kRegSuccess && got == size &&
                  std::memcmp(back.data(), bytes, size) == 0,
              "a value in a key of a hostile name comes back");
    }
    registry.CloseKey(opened);
    registry.CloseKey(created);
}

std::uint32_t TypeOf(const std::string& content) {
    std::uint32_t type = 0;
    for (int i = 3; i >= 0; --i) type = type << 8 | static_cast<unsigned char>(content[static_cast<std::size_t>(i)]);
    return type;
}

void ReadRaw(platform::RegHandle key, const Entry& entry) {
    const platform::RegistryOps& registry = platform::Registry();
    std::uint32_t type = 0, size = 0;
    const long status = registry.QueryValueEx(key, entry.name.c_str(), &type, nullptr, &size);
    const bool stored = entry.regular && entry.content.size() >= 4;
    if (entry.regular) Check((status == platform::kRegSuccess) == stored, "value found");
    if (status != platform::kRegSuccess) return;
    Check(size < (1u << 24), "size of a value");
    if (!stored) return;
    const std::string data = entry.content.substr(4);
    Check(type == TypeOf(entry.content) && size == data.size(), "type and size");
    std::vector<unsigned char> buffer(size + 1, 0xA5);
    std::uint32_t got = size;
    Check(registry.QueryValueEx(key, entry.name.c_str(), &type, buffer.data(), &got) == platform::kRegSuccess,
          "read of the whole value");
    Check(got == size && std::memcmp(buffer.data(), data.data(), size) == 0 && buffer[size] == 0xA5, "value bytes");
    if (size > 0) {
        std::uint32_t small = size - 1;
        std::vector<unsigned char> shortBuffer(small + 1, 0xA5);
        Check(registry.QueryValueEx(key, entry.name.c_str(), &type, shortBuffer.data(), &small) ==
                      platform::kRegMoreData &&
                  small == size,
              "short buffer");
    }
}

void ReadTyped(const Entry& entry) {
    const bool stored = entry.regular && entry.content.size() >= 4;
    const std::uint32_t type = stored ? TypeOf(entry.content) : 0;
    const std::string data = stored ? entry.content.substr(4) : std::string();
    const char* name = entry.name.c_str();
    kestar::RegKey key(platform::kHkeyLocalMachine, kKeyPath, 0);

    std::string text;
    const int textResult = key.ReadString(text, "default", name);
    if (entry.regular) {
        if (!stored) Check(textResult == 1 && text == "default", "missing string");
        else if (type != platform::kRegSz) Check(textResult == 0, "string of another type");
        else Check(textResult == 1 && text == data.substr(0, data.find('\0')), "string value");
    }

    std::int32_t number = 0;
    const int intResult = key.ReadInt(number, 41, name);
    if (entry.regular) {
        if (stored && type == platform::kRegBinary && data.size() == 4) {
            std::int32_t expected = 0;
            std::memcpy(&expected, data.data(), 4);
            Check(intResult == 1 && number == expected, "integer value");
        } else {
            Check(number == 41 && intResult == (stored ? 0 : 1), "integer default");
        }
    }

    kestar::RegBlock block(data.size() + (entry.kind & 1), 0xEE);
    key.ReadBinary(block, name, "");
    kestar::RegRect rect{};
    key.ReadRect(rect, kestar::RegRect{1, 2, 3, 4}, name);
    std::int32_t a = 0, b = 0, c = 0;
    key.ReadInt3(a, b, c, "5 6 7", name);
    double real = 0, x = 0, y = 0, z = 0;
    key.ReadReal(real, 1.5, name);
    key.ReadReal3(x, y, z, "1 2 3", name);
    kestar::RegKey child(platform::kHkeyLocalMachine, kKeyPath, 0);
    if (child.Open()) {
        kestar::RegKey sub(platform::kHkeyLocalMachine, kKeyPath, 0);
        sub.OpenChild(child.handle(), name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ::nftw(Around().c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    const std::string key = Store() + "/hkey_local_machine/software/kestar";
    ::mkdir(Around().c_str(), 0755);
    ::mkdir(Store().c_str(), 0755);
    ::mkdir((Store() + "/hkey_local_machine").c_str(), 0755);
    ::mkdir((Store() + "/hkey_local_machine/software").c_str(), 0755);
    ::mkdir(key.c_str(), 0755);

    std::vector<Entry> entries;
    std::size_t at = 0;
    auto next = [&](std::size_t n) {
        n = n < size - at ? n : size - at;
        std::string bytes(reinterpret_cast<const char*>(data) + at, n);
        at += n;
        return bytes;
    };
    while (at < size && entries.size() < 16) {
        Entry entry{};
        entry.kind = data[at++] % 8;
        entry.name = next(at < size ? data[at++] % 64 : 0);
        entry.name = entry.name.substr(0, entry.name.find('\0'));
        entry.content = next(at < size ? data[at++] : 0);
        const std::string stored = StoreName(entry.name);
        const bool fits = !stored.empty() && stored.size() <= 240;
        const std::string valuePath = key + "/=" + stored;
        bool taken = false;
        for (const Entry& earlier : entries) taken = taken || StoreName(earlier.name) == stored;
        if (taken) entry.kind = 5;  // one thing per name, so what was written is known
        switch (entry.kind) {
            case 0:
                if (fits) WriteBytes(valuePath, entry.content);
                entry.regular = fits;
                break;
            case 1: if (fits) ::mkdir((key + "/" + stored).c_str(), 0755); break;
            case 2: if (fits) ::mkdir(valuePath.c_str(), 0755); break;
            case 3: if (fits) ::mkfifo(valuePath.c_str(), 0644); break;
            case 4: if (fits) ::symlink("/dev/zero", valuePath.c_str()); break;
            case 5:
                if (!entry.name.empty() && entry.name.find('/') == std::string::npos && entry.name.size() < 200) {
                    WriteBytes(key + "/" + entry.name, entry.content);
                }
                break;
            case 6: if (fits) WriteBytes(key + "/" + stored, entry.content); break;
            case 7: break;  // written through the registry below, after every file
        }
        entries.push_back(entry);
    }

    // A raw name may be a value file name of another entry, written over it.
    for (Entry& entry : entries) {
        for (const Entry& raw : entries) {
            if (raw.kind == 5 && raw.name == "=" + StoreName(entry.name)) entry.regular = false;
        }
    }

    const platform::RegistryOps& registry = platform::Registry();
    platform::RegHandle writable = 0;
    if (registry.OpenKeyEx(platform::kHkeyLocalMachine, kKeyPath, 0, platform::kKeyAllAccess, &writable) !=
        platform::kRegSuccess) {
        std::abort();
    }
    for (const Entry& entry : entries) {
        if (entry.kind == 7) WriteThroughTheRegistry(writable, entry);
    }
    registry.CloseKey(writable);
    Check(OnlyTheStoreAround(), "something written outside the store");

    platform::RegHandle handle = 0;
    if (registry.OpenKeyEx(platform::kHkeyLocalMachine, kKeyPath, 0, platform::kKeyRead, &handle) !=
        platform::kRegSuccess) {
        std::abort();
    }
    for (const Entry& entry : entries) {
        ReadRaw(handle, entry);
        ReadTyped(entry);
    }
    registry.CloseKey(handle);
    Check(OnlyTheStoreAround(), "something written outside the store");
    ::nftw(Around().c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);  // no exit handlers run after the last input
    return 0;
}
