#include "platform/posix/registry_posix_files.h"

#include "platform/posix/posix_calls.h"
#include "platform/registry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestar::platform::store {
namespace {

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

}  // namespace

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

long WriteValueFile(const std::string& file, std::uint32_t type, const unsigned char* data, std::uint32_t size) {
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

}  // namespace kestar::platform::store
