#include "platform/profile.h"

#include "platform/debug_trace.h"
#include "platform/files.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kestar::platform {
namespace {

// A line longer than this keeps only its first bytes: far beyond any settings line,
// and it bounds the memory a file of junk can take.
constexpr std::size_t kMaxKeptLine = 1u << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string Trimmed(const char* begin, const char* end) {
    while (begin < end && IsBlank(*begin)) ++begin;
    while (end > begin && IsBlank(end[-1])) --end;
    return std::string(begin, end);
}

std::string Trimmed(const std::string& text) { return Trimmed(text.data(), text.data() + text.size()); }

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Single-byte text of the file's bytes, one line at a time.
class LineSource {
public:
    explicit LineSource(const std::string& bytes) : bytes_(bytes) {
        const auto byte = [&bytes](std::size_t i) {
            return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : -1;
        };
        if (byte(0) == 0xFF && byte(1) == 0xFE) {
            encoding_ = kUtf16Le;
            at_ = 2;
        } else if (byte(0) == 0xFE && byte(1) == 0xFF) {
            encoding_ = kUtf16Be;
            at_ = 2;
        } else if (byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
            at_ = 3;
        }
    }

    bool Next(std::string& line) {
        line.clear();
        bool cut = false;
        int c = Get();
        if (c == EOF) return false;
        while (c != EOF && c != '\r' && c != '\n') {
            if (c == 0) cut = true;
            if (!cut && line.size() < kMaxKeptLine) line += static_cast<char>(c);
            c = Get();
        }
        if (c == '\r') {
            const std::size_t before = at_;
            if (Get() != '\n') at_ = before;
        }
        return true;
    }

private:
    enum Encoding { kSingleByte, kUtf16Le, kUtf16Be };

    // One character; a UTF-16 unit outside the single-byte range reads as '?', and
    // an odd last byte of a UTF-16 file as itself.
    int Get() {
        if (at_ >= bytes_.size()) return EOF;
        const int first = static_cast<unsigned char>(bytes_[at_++]);
        if (encoding_ == kSingleByte) return first;
        if (at_ >= bytes_.size()) return first;
        const int second = static_cast<unsigned char>(bytes_[at_++]);
        const int low = encoding_ == kUtf16Le ? first : second;
        const int high = encoding_ == kUtf16Le ? second : first;
        return high == 0 ? low : '?';
    }

    const std::string& bytes_;
    Encoding encoding_ = kSingleByte;
    std::size_t at_ = 0;
};

std::uint32_t CopyOut(const std::string& text, char* buffer, std::uint32_t size) {
    std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<std::uint32_t>(n);
}

std::string Unquoted(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

struct ProfileKey {
    std::string name;
    std::string value;
};

struct ProfileSection {
    std::string name;
    std::vector<ProfileKey> keys;
};

// Of a file, only what a request can be answered from: the key lines of the first
// section of the wanted name. Of its blank lines (keys of no name) only the first
// is kept, and no more than kMaxProfileKeys lines are, so that what the reading costs stays within
// the file's own size and a small fixed amount, however the file is made.
using ParsedProfile = ProfileSection;

// A line from its first non-blank character that is a section header ("[name]",
// whatever follows the last ']'): its name; else false.
bool SectionHeader(const char* begin, const char* end, std::string& name) {
    if (begin == end || *begin != '[') return false;
    const char* close = end;
    while (close > begin && close[-1] != ']') --close;
    if (close <= begin + 1) return false;
    name = Trimmed(begin + 1, close - 1);
    return true;
}

ParsedProfile Parse(const std::string& bytes, const std::string& section, const char* path) {
    ParsedProfile profile{section, {}};
    LineSource lines(bytes);
    std::string line;
    std::string header;
    bool inside = false;
    bool blankKept = false;
    while (lines.Next(line)) {
        const char* begin = line.data();
        const char* end = begin + line.size();
        while (begin < end && IsBlank(*begin)) ++begin;
        if (SectionHeader(begin, end, header)) {
            if (inside) break;  // a later section of the same name is never read
            inside = SameName(header, section);
            continue;
        }
        if (!inside) continue;
        // A blank line is a key of no name: only the first can ever answer.
        if (begin == end && blankKept) continue;
        blankKept = blankKept || begin == end;
        if (profile.keys.size() == kMaxProfileKeys) {
            Trace("File '%s': section [%s] holds more than %lu key lines; the rest are not read\n", path,
                  section.c_str(), static_cast<unsigned long>(kMaxProfileKeys));
            break;
        }
        const char* equals = static_cast<const char*>(std::memchr(begin, '=', static_cast<std::size_t>(end - begin)));
        profile.keys.push_back(ProfileKey{Trimmed(begin, equals != nullptr ? equals : end),
                                          equals != nullptr ? Unquoted(Trimmed(equals + 1, end)) : std::string()});
    }
    return profile;
}

// The first line of the key counts.
bool Lookup(const ParsedProfile& profile, const std::string& key, std::string& value) {
    for (const ProfileKey& line : profile.keys) {
        if (!SameName(line.name, key)) continue;
        value = line.value;
        return true;
    }
    return false;
}

// A file read and parsed, kept while a ProfileReadOnce lives.
struct ReadOnceCache {
    int holders = 0;
    bool filled = false;
    std::string path;
    std::string section;
    bool readable = false;
    ParsedProfile profile;
};

ReadOnceCache& Cache() {
    static ReadOnceCache cache;
    return cache;
}

// The wanted section of the file at path, or false when the file cannot be read
// for what it is.
bool Load(const char* path, const std::string& section, ParsedProfile& scratch, const ParsedProfile*& profile) {
    ReadOnceCache& cache = Cache();
    if (cache.holders > 0 && cache.filled && cache.path == path && SameName(cache.section, section)) {
        profile = &cache.profile;
        return cache.readable;
    }
    std::string bytes;
    const bool readable = ReadRegularFile(path, kMaxSettingsFileBytes, bytes) == ReadFileResult::kRead;
    ParsedProfile& target = cache.holders > 0 ? cache.profile : scratch;
    target = readable ? Parse(bytes, section, path) : ParsedProfile();
    if (cache.holders > 0) {
        cache.filled = true;
        cache.path = path;
        cache.section = section;
        cache.readable = readable;
    }
    profile = &target;
    return readable;
}

}  // namespace

std::uint32_t ReadProfileString(const char* section, const char* key, const char* def, char* buffer,
                                std::uint32_t size, const char* path) {
    if (buffer == nullptr || size == 0) return 0;
    const std::string fallback = Trimmed(std::string(def != nullptr ? def : ""));
    const std::string wantSection = Trimmed(std::string(section != nullptr ? section : ""));
    if (key == nullptr || path == nullptr || wantSection.empty()) return CopyOut(fallback, buffer, size);
    ParsedProfile scratch;
    const ParsedProfile* profile = nullptr;
    if (!Load(path, wantSection, scratch, profile)) return CopyOut(fallback, buffer, size);
    std::string value;
    const bool found = Lookup(*profile, Trimmed(std::string(key)), value);
    return CopyOut(found ? value : fallback, buffer, size);
}

ProfileReadOnce::ProfileReadOnce() { ++Cache().holders; }

ProfileReadOnce::~ProfileReadOnce() {
    ReadOnceCache& cache = Cache();
    if (--cache.holders > 0) return;
    cache.filled = false;
    cache.path.clear();
    cache.profile = ParsedProfile();
}

}  // namespace kestar::platform
