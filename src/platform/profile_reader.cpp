#include "platform/profile.h"

#include <cstdio>
#include <cstring>
#include <string>

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

// Single-byte text of the file, one line at a time.
class LineSource {
public:
    explicit LineSource(std::FILE* file) : file_(file) {
        int a = std::getc(file_);
        int b = a == EOF ? EOF : std::getc(file_);
        if (a == 0xFF && b == 0xFE) {
            wide_ = true;
            return;
        }
        if (a == 0xEF && b == 0xBB) {
            int c = std::getc(file_);
            if (c == 0xBF) return;
            Push(c);
        }
        Push(b);
        Push(a);
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
            int after = Get();
            if (after != '\n') Push(after);
        }
        return true;
    }

private:
    int Get() {
        if (pushed_ > 0) return back_[--pushed_];
        if (!wide_) return std::getc(file_);
        int low = std::getc(file_);
        if (low == EOF) return EOF;
        int high = std::getc(file_);
        if (high == EOF) return low;
        return high == 0 ? low : '?';
    }

    void Push(int c) {
        if (c != EOF && pushed_ < 3) back_[pushed_++] = c;
    }

    std::FILE* file_;
    bool wide_ = false;
    int back_[3] = {};
    int pushed_ = 0;
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

// Looks key up; false when the file holds no such section or key.
bool Lookup(std::FILE* file, const std::string& section, const std::string& key, std::string& value) {
    LineSource lines(file);
    std::string line;
    bool inSection = false;
    bool sectionSeen = false;
    while (lines.Next(line)) {
        const char* begin = line.data();
        const char* end = begin + line.size();
        while (begin < end && IsBlank(*begin)) ++begin;
        if (begin < end && *begin == '[') {
            const char* close = end;
            while (close > begin && close[-1] != ']') --close;
            if (close > begin + 1) {
                if (inSection) return false;
                inSection = !sectionSeen && SameName(Trimmed(begin + 1, close - 1), section);
                sectionSeen = sectionSeen || inSection;
                continue;
            }
        }
        if (!inSection) continue;
        const char* equals = static_cast<const char*>(std::memchr(begin, '=', static_cast<std::size_t>(end - begin)));
        if (!SameName(Trimmed(begin, equals != nullptr ? equals : end), key)) continue;
        value = equals != nullptr ? Unquoted(Trimmed(equals + 1, end)) : std::string();
        return true;
    }
    return false;
}

}  // namespace

std::uint32_t ReadProfileString(const char* section, const char* key, const char* def, char* buffer,
                                std::uint32_t size, const char* path) {
    if (buffer == nullptr || size == 0) return 0;
    const std::string fallback = Trimmed(std::string(def != nullptr ? def : ""));
    const std::string wantSection = Trimmed(std::string(section != nullptr ? section : ""));
    if (key == nullptr || path == nullptr || wantSection.empty()) return CopyOut(fallback, buffer, size);
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return CopyOut(fallback, buffer, size);
    std::string value;
    bool found = Lookup(file, wantSection, Trimmed(std::string(key)), value);
    std::fclose(file);
    return CopyOut(found ? value : fallback, buffer, size);
}

}  // namespace kestar::platform
