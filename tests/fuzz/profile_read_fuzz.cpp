// The profile (INI) reader on arbitrary file bytes with an arbitrary section, key
// and buffer size, behind a file seam that plays hostile files. Input: section NUL
// key NUL size-byte file-byte file-bytes (missing parts fall back to "Parameters",
// "PORT1", 128 and a plain file). The file byte:
//   bits 0-1  what the path is: 0 a regular file, 1 nothing that opens (a link, a
//             missing file), 2 no regular file (FIFO, device, folder), 3 a file
//             whose status cannot be had
//   bits 2-3  the size it claims: 0 its own, 1 half of it (it grows while read),
//             2 its own + 1000 (it shrinks), 3 one byte over the reader's bound
//   bits 4-5  bytes a read gives at most: all asked, 1, 7, 4096
//   bit 6     the read after the last byte fails
//   bit 7     the file never ends: zero bytes after its own, as /dev/zero gives
// Every answer is compared with a second reader written here from the rules alone,
// in a different shape: decode the whole file first, split it into lines, then
// search. Anything but a whole regular file within the bound gives the default.
// The same request is then made twice while a ProfileReadOnce lives: one opening
// of the file, the same answer both times.
#include "platform/ansi_code_page.h"
#include "platform/files.h"
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

// UTF-8 after its mark as Windows reads it: a byte that starts no sequence, one cut
// short, or one whose second byte leaves its lead's range is one broken character;
// a character beyond the Basic Multilingual Plane is two.
std::string DecodeUtf8(const std::uint8_t* data, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size;) {
        const unsigned lead = data[i++];
        const int more = lead < 0x80 ? 0 : lead < 0xC2 ? -1 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF5 ? 3 : -1;
        const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
        const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
        std::uint32_t c = more <= 0 ? lead : lead & (0x3Fu >> more);
        bool broken = more < 0;
        for (int got = 0; got < more && !broken; ++got) {
            broken = i >= size || (data[i] & 0xC0) != 0x80;
            if (broken) break;
            const unsigned next = data[i++];
            broken = got == 0 && (next < low || next > high);
            c = c << 6 | (next & 0x3F);
        }
        text += broken ? std::string("?") : c > 0xFFFF ? std::string("??") : std::string(1, kestar::platform::AnsiCharacter(c));
    }
    return text;
}

// The file as single-byte text.
std::string Decode(const std::uint8_t* data, std::size_t size) {
    std::string text;
    const bool little = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;
    const bool big = size >= 2 && data[0] == 0xFE && data[1] == 0xFF;
    if (little || big) {
        for (std::size_t i = 2; i < size; i += 2) {
            const std::uint32_t unit = i + 1 == size ? data[i] : little ? data[i] | data[i + 1] << 8 : data[i] << 8 | data[i + 1];
            text += i + 1 == size ? static_cast<char>(unit) : kestar::platform::AnsiCharacter(unit);
        }
        return text;
    }
    if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) return DecodeUtf8(data + 3, size - 3);
    return std::string(reinterpret_cast<const char*>(data), size);
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

namespace platform = kestar::platform;

// The file the seam plays.
struct HostileFile {
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    unsigned how = 0;
    std::size_t at = 0;
    int opens = 0;
    bool open = false;
};
HostileFile played;
constexpr platform::FileHandle kPlayed = 7;
constexpr std::uint32_t kReadLimits[] = {0xFFFFFFFFu, 1, 7, 4096};

platform::FileHandle PlayedOpen(const char*) {
    ++played.opens;
    if ((played.how & 3) == 1) return platform::kInvalidFile;
    if (played.open) std::abort();  // one file, opened once at a time
    played.open = true;
    played.at = 0;
    return kPlayed;
}

bool PlayedInfo(platform::FileHandle file, platform::FileInfo* info) {
    if (file != kPlayed || !played.open) std::abort();
    if ((played.how & 3) == 3) return false;
    info->regular = (played.how & 3) == 0;
    switch ((played.how >> 2) & 3) {
        case 0: info->size = played.size; break;
        case 1: info->size = played.size / 2; break;
        case 2: info->size = played.size + 1000; break;
        default: info->size = platform::kMaxSettingsFileBytes + 1; break;
    }
    return true;
}

bool PlayedRead(platform::FileHandle file, void* data, std::uint32_t size, std::uint32_t* read) {
    if (file != kPlayed || !played.open) std::abort();
    *read = 0;
    const std::uint32_t limit = std::min(size, kReadLimits[(played.how >> 4) & 3]);
    if (played.at < played.size) {
        const std::size_t n = std::min<std::size_t>(limit, played.size - played.at);
        std::memcpy(data, played.bytes + played.at, n);
        played.at += n;
        *read = static_cast<std::uint32_t>(n);
        return true;
    }
    if (played.how & 64) return false;
    if (played.how & 128) {  // endless zeros, in whole areas so that the bound comes soon
        std::memset(data, 0, size);
        *read = size;
    }
    return true;
}

bool PlayedClose(platform::FileHandle file) {
    if (file != kPlayed || !played.open) std::abort();
    played.open = false;
    return true;
}

std::uint32_t PlayedAttributes(const char*) {
    return (played.how & 3) == 1 ? platform::kInvalidFileAttributes : platform::kFileAttributeNormal;
}

// Asks the reader through the played file; checks the answer's form.
std::string Ask(const std::string& section, const std::string& key, const char* fallback, std::uint32_t bufferSize) {
    // Exactly the size asked for, so a byte written past it is a sanitizer report.
    std::unique_ptr<char[]> buffer(new char[bufferSize]);
    std::memset(buffer.get(), 0x5A, bufferSize);
    const std::uint32_t n = platform::ReadProfileString(section.c_str(), key.c_str(), fallback, buffer.get(),
                                                        bufferSize, "vodrane.ini");
    if (n >= bufferSize) std::abort();
    if (buffer[n] != '\0' || std::strlen(buffer.get()) != n) std::abort();
    if (played.open) std::abort();  // every opening is closed again
    return std::string(buffer.get(), n);
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

    played = HostileFile{};
    played.bytes = file;
    played.size = fileSize;
    if (nul != nullptr && at < end) {  // the file byte, when the input has one
        played.how = static_cast<std::uint8_t>(*at);
        ++played.bytes;
        --played.size;
    }
    platform::FileOps seam = platform::Files();
    seam.OpenForReading = PlayedOpen;
    seam.GetFileInfo = PlayedInfo;
    seam.Read = PlayedRead;
    seam.Close = PlayedClose;
    seam.GetFileAttributes = PlayedAttributes;
    platform::ScopedFileOps scopedSeam(seam);

    const char fallback[] = " fallback\t";
    const std::string answer = Ask(section, key, fallback, bufferSize);

    const bool whole = (played.how & (3 | 64 | 128)) == 0 && ((played.how >> 2) & 3) != 3 &&
                       played.size <= platform::kMaxSettingsFileBytes;
    bool found = false;
    std::string expected = whole ? Expected(Decode(played.bytes, played.size), section, key, fallback, found)
                                 : Trim(fallback);
    expected.resize(std::min<std::size_t>(expected.size(), bufferSize - 1));
    if (answer != expected) {
        std::fprintf(stderr, "reader gave [%s], rules give [%s]\n", answer.c_str(), expected.c_str());
        std::abort();
    }

    {
        const platform::ProfileReadOnce once;
        played.opens = 0;
        if (Ask(section, key, fallback, bufferSize) != answer) std::abort();
        if (Ask(section, key, fallback, bufferSize) != answer) std::abort();
        if (!Trim(section).empty() && played.opens != 1) std::abort();
    }
    return 0;
}
