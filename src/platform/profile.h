// The profile (INI) reader: one value of one section of a settings file.
//
// Windows: GetPrivateProfileStringA. POSIX: ReadProfileString, a reader with the
// Windows reader's rules, which the Windows build also carries so that tests can
// hold the two side by side.
#pragma once

#include <cstddef>
#include "platform/scoped_ops.h"

#include <cstdint>
#include <string>

namespace kestar::platform {

struct ProfileOps {
    // Copies at most size - 1 characters of the value (or of def when the file, the
    // section or the key is missing) and a terminating zero into buffer; returns the
    // number of characters copied without the zero.
    std::uint32_t (*GetPrivateProfileString)(const char* section, const char* key, const char* def, char* buffer,
                                             std::uint32_t size, const char* path);
};

ProfileOps& Profile();
ProfileOps ProfileDefaults();

using ScopedProfileOps = ScopedOps<ProfileOps, Profile>;

// The portable reader. It reads the file through Files() for what it is: a regular
// file of at most kMaxSettingsFileBytes, else the file counts as missing. Rules, as
// the Windows reader applies them:
// - lines end at CR, LF or CR LF; a zero byte ends the line's text; a UTF-8 byte
//   order mark is skipped, and a UTF-16 file with its byte order mark (little- or
//   big-endian) is read as single-byte text, '?' for a character beyond that range;
// - blanks (space, tab, vertical tab, form feed) around section names, key names
//   and values are trimmed, in the file and in the request;
// - "[name]" opens a section, the name running to the last ']' of the line; a line
//   with '[' and no ']' is an ordinary line;
// - section and key names match without regard to ASCII case; the first section of
//   a name counts (a later one of the same name is never read) and in it the first
//   line of the key;
// - a line without '=' is a key without value; nothing marks comments, so a line
//   ";key=value" is the key ";key" and never answers for "key";
// - a value that starts and ends with the same quote (' or "), two characters or
//   more, loses that pair; then it is cut to size - 1 characters;
// - an empty section name in the request finds nothing;
// - of the wanted section only its first kMaxProfileKeys key lines are read (blank
//   lines count once): a key past them counts as missing.
constexpr std::size_t kMaxProfileKeys = 1024;

enum class ProfileEncoding { kSingleByte, kUtf16Le, kUtf16Be, kUtf8 };  // kUtf8: with its byte order mark

// Where a file's bytes hold the line the reader above answers a key from, found by
// the reader's own walk, for a tool that changes that one value and keeps every
// other byte. Offsets are byte offsets into the file.
struct ProfileKeyPlace {
    ProfileEncoding encoding = ProfileEncoding::kSingleByte;
    std::size_t unit = 1;       // bytes a character: 1, or 2 in a UTF-16 file
    bool sectionFound = false;  // the first section of the name
    bool keyFound = false;      // among the key lines the reader reads
    std::size_t lineBegin = 0;  // keyFound: the key's line, its line end left out
    std::size_t lineEnd = 0;
    std::size_t valueBegin = 0;  // keyFound: past '=' and the blanks after it (lineEnd without '=')
    bool hasEquals = false;
    // Not found: where a new key line goes, after the section's last key line or its
    // header line (at the end of the file without the section); insertNeedsBreak when
    // the line there has no line end of its own.
    std::size_t insertAt = 0;
    bool insertNeedsBreak = false;
    std::string lineBreak;  // the first line's line end ("\r\n", "\n", "\r"); empty: none
};

ProfileKeyPlace LocateProfileKey(const std::string& bytes, const char* section, const char* key);

std::uint32_t ReadProfileString(const char* section, const char* key, const char* def, char* buffer,
                                std::uint32_t size, const char* path);

// While one lives, the portable reader reads and parses a file once and answers
// every later request for it from that reading, as the Windows reader answers from
// its own copy of a file it has read: a start-up reads its settings file once, not
// once per key. Nested ones share the reading; the last one to end drops it.
class ProfileReadOnce {
public:
    ProfileReadOnce();
    ~ProfileReadOnce();
    ProfileReadOnce(const ProfileReadOnce&) = delete;
    ProfileReadOnce& operator=(const ProfileReadOnce&) = delete;
};

}  // namespace kestar::platform
