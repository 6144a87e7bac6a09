// The profile (INI) reader on arbitrary file bytes with an arbitrary section, key
// and buffer size. Input: section NUL key NUL size-byte file-bytes (missing parts
// fall back to "Parameters", "PORT1" and 128). Every answer is compared with a
// second reader written here from the rules alone, in a different shape: decode
// the whole file first, split it into lines, then search.
#include "platform/profile.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && Blank(text[begin])) ++begin;
    while (end > begin && Blank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool Same(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

// The file as single-byte text.
std::string Decode(const std::uint8_t* data, std::size_t size) {
    std::string text;
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        for (std::size_t i = 2; i < size; i += 2) {
            if (i + 1 == size) {
                text += static_cast<char>(data[i]);
            } else {
                text += data[i + 1] == 0 ? static_cast<char>(data[i]) : '?';
            }
        }
        return text;
    }
    std::size_t start = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
    return std::string(reinterpret_cast<const char*>(data) + start, size - start);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find_first_of("\r\n", at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        line = line.substr(0, line.find('\0'));
        lines.push_back(line);
        at = end;
        if (at == text.size()) break;
        if (text[at++] == '\r' && at < text.size() && text[at] == '\n') ++at;
    }
    return lines;
}

// The section name of a header line, or false for an ordinary line.
bool Header(const std::string& line, std::string& name) {
    const std::string body = line.substr(line.find_first_not_of(" \t\v\f") == std::string::npos
                                             ? line.size()
                                             : line.find_first_not_of(" \t\v\f"));
    if (body.empty() || body[0] != '[') return false;
    const std::size_t close = body.rfind(']');
    if (close == std::string::npos) return false;
    name = Trim(body.substr(1, close - 1));
    return true;
}

std::string Expected(const std::string& text, const std::string& section, const std::string& key,
                     const std::string& fallback, bool& found) {
    found = false;
    const std::string wantSection = Trim(section);
    if (wantSection.empty()) return Trim(fallback);
    const std::vector<std::string> lines = Lines(text);
    std::size_t i = 0;
    std::string name;
    for (; i < lines.size(); ++i) {
        if (Header(lines[i], name) && Same(name, wantSection)) break;
    }
    for (++i; i < lines.size(); ++i) {
        if (Header(lines[i], name)) break;
        const std::size_t equals = lines[i].find('=');
        if (!Same(Trim(lines[i].substr(0, equals)), Trim(key))) continue;
        found = true;
        if (equals == std::string::npos) return std::string();
        std::string value = Trim(lines[i].substr(equals + 1));
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return Trim(fallback);
}

const std::string& ScratchFile() {
    static const std::string path = [] {
        const char* folder = std::getenv("TMPDIR");
        std::string file = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                           "/kestar-profile-fuzz-" + std::to_string(::getpid()) + ".ini";
        return file;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* begin = reinterpret_cast<const char*>(data);
    const char* end = begin + size;
    std::string section = "Parameters", key = "PORT1";
    std::uint32_t bufferSize = 128;
    const char* at = begin;
    const char* nul = static_cast<const char*>(std::memchr(at, '\0', static_cast<std::size_t>(end - at)));
    if (nul != nullptr) {
        section.assign(at, nul);
        at = nul + 1;
        nul = static_cast<const char*>(std::memchr(at, '\0', static_cast<std::size_t>(end - at)));
        if (nul != nullptr) {
            key.assign(at, nul);
            at = nul + 1;
            if (at < end) bufferSize = static_cast<std::uint8_t>(*at++) + 1u;
        }
    }
    const std::uint8_t* file = reinterpret_cast<const std::uint8_t*>(at);
    const std::size_t fileSize = static_cast<std::size_t>(end - at);

    std::FILE* out = std::fopen(ScratchFile().c_str(), "wb");
    if (out == nullptr) std::abort();
    if (fileSize > 0 && std::fwrite(file, 1, fileSize, out) != fileSize) std::abort();
    std::fclose(out);

    // Exactly the size asked for, so a byte written past it is a sanitizer report.
    const char fallback[] = " fallback\t";
    std::unique_ptr<char[]> buffer(new char[bufferSize]);
    std::memset(buffer.get(), 0x5A, bufferSize);
    const std::uint32_t n = kestar::platform::ReadProfileString(section.c_str(), key.c_str(), fallback, buffer.get(),
                                                                bufferSize, ScratchFile().c_str());
    std::remove(ScratchFile().c_str());  // libFuzzer ends without running exit handlers
    if (n >= bufferSize) std::abort();
    if (buffer[n] != '\0' || std::strlen(buffer.get()) != n) std::abort();

    bool found = false;
    std::string expected = Expected(Decode(file, fileSize), section, key, fallback, found);
    expected.resize(std::min<std::size_t>(expected.size(), bufferSize - 1));
    if (std::string(buffer.get(), n) != expected) {
        std::fprintf(stderr, "reader gave [%s], rules give [%s]\n", buffer.get(), expected.c_str());
        std::abort();
    }
    return 0;
}
