#include "platform/profile.h"

#include "platform/ansi_code_page.h"
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

// Single-byte text of the file's bytes, one line at a time: a file of UTF-16 (either
// order) or of UTF-8 with its byte order mark is read as Windows reads it, each
// character converted to the ANSI code page; any other file byte for byte.
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
            encoding_ = kUtf8;
            at_ = 3;
        }
    }

    bool Next(std::string& line) {
        line.clear();
        bool cut = false;
        begin_ = at_;
        int c = Get();
        if (c == EOF) return false;
        while (c != EOF && c != '\r' && c != '\n') {
            if (c == 0) cut = true;
            if (!cut && line.size() < kMaxKeptLine) line += static_cast<char>(c);
            textEnd_ = at_;
            c = Get();
        }
        if (c == EOF) textEnd_ = at_;
        if (c == '\r') {
            const std::size_t before = at_;
            if (Get() != '\n') at_ = before;
        }
        return true;
    }

    // Byte offsets of the line Next gave last: where it begins, where its text ends
    // (its line end left out), and where the next line begins.
    std::size_t begin() const { return begin_; }
    std::size_t textEnd() const { return textEnd_ < begin_ ? begin_ : textEnd_; }
    std::size_t next() const { return at_; }
    ProfileEncoding encoding() const { return encoding_; }

private:
    static constexpr ProfileEncoding kSingleByte = ProfileEncoding::kSingleByte;
    static constexpr ProfileEncoding kUtf16Le = ProfileEncoding::kUtf16Le;
    static constexpr ProfileEncoding kUtf16Be = ProfileEncoding::kUtf16Be;

    static constexpr ProfileEncoding kUtf8 = ProfileEncoding::kUtf8;
    static constexpr std::uint32_t kReplacement = 0xFFFD;  // what a broken sequence reads as

    int Byte() { return static_cast<unsigned char>(bytes_[at_++]); }

    // The sequence a UTF-8 lead byte starts: its length (0: none) and the range its
    // second byte must be in (outside it the form is overlong, a surrogate or past
    // U+10FFFF).
    struct Utf8Lead {
        int length;
        int low;
        int high;
    };
    static Utf8Lead LeadOf(int lead) {
        if (lead < 0x80) return {1, 0, 0};
        if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
        if (lead >= 0xE0 && lead <= 0xEF) return {3, lead == 0xE0 ? 0xA0 : 0x80, lead == 0xED ? 0x9F : 0xBF};
        if (lead >= 0xF0 && lead <= 0xF4) return {4, lead == 0xF0 ? 0x90 : 0x80, lead == 0xF4 ? 0x8F : 0xBF};
        return {0, 0, 0};
    }

    // One UTF-16 unit (two bytes are there).
    std::uint32_t Unit() {
        const int first = Byte();
        const int second = Byte();
        return static_cast<std::uint32_t>(encoding_ == kUtf16Le ? first | second << 8 : second | first << 8);
    }

    // One character of UTF-8. A broken sequence reads as Windows reads it: a byte
    // that starts none, or a lead whose second byte is outside its range (an
    // overlong form, a surrogate, past U+10FFFF) with that byte, or a sequence cut
    // short, each as one broken character.
    std::uint32_t Utf8Character() {
        const int lead = Byte();
        const Utf8Lead start = LeadOf(lead);
        if (start.length == 1) return static_cast<std::uint32_t>(lead);
        if (start.length == 0) return kReplacement;
        std::uint32_t character = static_cast<std::uint32_t>(lead) & (0x7Fu >> start.length);
        for (int i = 1; i < start.length; ++i) {
            const int next = at_ < bytes_.size() ? static_cast<unsigned char>(bytes_[at_]) : -1;
            if (next < 0 || (next & 0xC0) != 0x80) return kReplacement;
            ++at_;
            if (i == 1 && (next < start.low || next > start.high)) return kReplacement;
            character = character << 6 | static_cast<std::uint32_t>(next & 0x3F);
        }
        // Beyond the Basic Multilingual Plane: two UTF-16 units, each converted on its own.
        secondUnitPending_ = character > 0xFFFF;
        return character;
    }

    // One character in the ANSI code page (a UTF-16 unit at a time, as Windows
    // converts: a surrogate pair reads as two characters).
    int Get() {
        if (secondUnitPending_) {
            secondUnitPending_ = false;
            return '?';
        }
        if (at_ >= bytes_.size()) return EOF;
        // An odd last byte of a UTF-16 file reads as itself.
        if (encoding_ == kSingleByte || (encoding_ != kUtf8 && at_ + 1 == bytes_.size())) return Byte();
        const std::uint32_t character = encoding_ == kUtf8 ? Utf8Character() : Unit();
        return static_cast<unsigned char>(AnsiCharacter(character));
    }

    const std::string& bytes_;
    ProfileEncoding encoding_ = kSingleByte;
    bool secondUnitPending_ = false;
    std::size_t at_ = 0;
    std::size_t begin_ = 0;
    std::size_t textEnd_ = 0;
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

// One key line of the wanted section as the reader takes it: the line's text and
// where the line lies in the file's bytes.
struct KeyLine {
    const char* begin;   // the line's text from its first non-blank character
    const char* end;
    const char* equals;  // the first '=', or nullptr
    const LineSource& source;
};

// Walks the key lines of the first section of the wanted name, as a request is
// answered: onHeader once that section's header line is read, onKey for each key
// line kept.
template <typename OnHeader, typename OnKey>
void WalkSection(const std::string& bytes, const std::string& section, const char* path, OnHeader onHeader,
                 OnKey onKey) {
    LineSource lines(bytes);
    std::string line;
    std::string header;
    bool inside = false;
    bool blankKept = false;
    std::size_t kept = 0;
    while (lines.Next(line)) {
        const char* begin = line.data();
        const char* end = begin + line.size();
        while (begin < end && IsBlank(*begin)) ++begin;
        if (SectionHeader(begin, end, header)) {
            if (inside) break;  // a later section of the same name is never read
            inside = SameName(header, section);
            if (inside) onHeader(lines);
            continue;
        }
        if (!inside) continue;
        // A blank line is a key of no name: only the first can ever answer.
        if (begin == end && blankKept) continue;
        blankKept = blankKept || begin == end;
        if (kept == kMaxProfileKeys) {
            Trace("File '%s': section [%s] holds more than %lu key lines; the rest are not read\n", path,
                  section.c_str(), static_cast<unsigned long>(kMaxProfileKeys));
            break;
        }
        ++kept;
        const char* equals = static_cast<const char*>(std::memchr(begin, '=', static_cast<std::size_t>(end - begin)));
        onKey(KeyLine{begin, end, equals, lines}, line.data());
    }
}

ParsedProfile Parse(const std::string& bytes, const std::string& section, const char* path) {
    ParsedProfile profile{section, {}};
    WalkSection(
        bytes, section, path, [](const LineSource&) {},
        [&profile](const KeyLine& key, const char*) {
            profile.keys.push_back(
                ProfileKey{Trimmed(key.begin, key.equals != nullptr ? key.equals : key.end),
                           key.equals != nullptr ? Unquoted(Trimmed(key.equals + 1, key.end)) : std::string()});
        });
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

namespace {

// "\r" or "\n": the one-character line end that follows the line just read.
const char* LineEndCharacter(const std::string& bytes, const LineSource& lines, const ProfileKeyPlace& place) {
    const std::size_t at = lines.textEnd() + (place.encoding == ProfileEncoding::kUtf16Be ? 1 : 0);
    return bytes[at] == '\r' ? "\r" : "\n";
}

// A key line of the section: a new key goes after the last one; the wanted key's
// first line is the one the reader answers from.
void NoteKeyLine(ProfileKeyPlace& place, const std::string& wantKey, const KeyLine& line, const char* lineText) {
    if (line.begin == line.end || place.keyFound) return;
    place.insertAt = line.source.next();
    place.insertNeedsBreak = line.source.next() == line.source.textEnd();
    if (!SameName(Trimmed(line.begin, line.equals != nullptr ? line.equals : line.end), wantKey)) return;
    place.keyFound = true;
    place.hasEquals = line.equals != nullptr;
    place.lineBegin = line.source.begin();
    place.lineEnd = line.source.textEnd();
    if (!place.hasEquals) {
        place.valueBegin = place.lineEnd;
        return;
    }
    const char* value = line.equals + 1;
    while (value < line.end && IsBlank(*value)) ++value;
    place.valueBegin = line.source.begin() + static_cast<std::size_t>(value - lineText) * place.unit;
}

// The file's own line end, that of its first line; and, for a new section at the
// end, whether the last line has one.
void NoteLineEnds(const std::string& bytes, ProfileKeyPlace& place) {
    LineSource lines(bytes);
    std::string text;
    for (bool first = true; lines.Next(text); first = false) {
        const std::size_t units = (lines.next() - lines.textEnd()) / place.unit;
        if (first && units > 0) place.lineBreak = units == 2 ? "\r\n" : LineEndCharacter(bytes, lines, place);
        if (!place.sectionFound) place.insertNeedsBreak = units == 0;
    }
}

}  // namespace

ProfileKeyPlace LocateProfileKey(const std::string& bytes, const char* section, const char* key) {
    ProfileKeyPlace place;
    place.encoding = LineSource(bytes).encoding();
    place.unit = place.encoding == ProfileEncoding::kUtf16Le || place.encoding == ProfileEncoding::kUtf16Be ? 2 : 1;
    place.insertAt = bytes.size();
    const std::string wantKey = Trimmed(std::string(key));
    WalkSection(
        bytes, Trimmed(std::string(section)), "(settings file)",
        [&place](const LineSource& source) {
            place.sectionFound = true;
            place.insertAt = source.next();
            place.insertNeedsBreak = source.next() == source.textEnd();
        },
        [&place, &wantKey](const KeyLine& line, const char* lineText) { NoteKeyLine(place, wantKey, line, lineText); });
    NoteLineEnds(bytes, place);
    return place;
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
