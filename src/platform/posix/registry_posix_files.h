// The registry store's files: how a key or value name is written as a file name,
// and how a value file is read and written.
//
// Key and value names are matched without regard to case, as the Windows registry
// does: each name is kept on disk in lower case (Windows-1252's letters folded as
// Windows folds them, e.g. 0xC4 to 0xE4), with every byte outside [a-z0-9 _-.]
// (and a leading '.') written as %XX, so no name can climb out of its folder. A
// name whose written form would pass kMaxEncodedName bytes is kept as '#' and two
// 64-bit FNV-1a sums of that form ('#' being escaped, no other name looks so), so
// that Windows' name lengths fit any file system. A value file starts with '='
// (never the first byte of a key folder, '=' being escaped) and holds the type as
// four little-endian bytes, then the data. Values are written to a side file and
// renamed into place, so a crash leaves either the old value or the new one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestar::platform::store {

constexpr std::size_t kMaxEncodedName = 240;  // below every file system's name limit
constexpr std::size_t kMaxKeyName = 255;       // characters of one key name, as Windows takes them
constexpr std::size_t kMaxValueName = 16383;   // characters of a value name
constexpr std::size_t kMaxValueFile = 4 + (16u << 20);  // type word and 16 MiB of data

// The name as it is kept on disk; false for a name longer than longest characters.
bool Encode(const char* name, std::string& encoded, std::size_t longest);

// Appends the components of a backslash path to folder. A trailing backslash is
// accepted; an empty component anywhere else is not a key name (kRegBadPathname),
// nor one longer than a key name may be (kRegInvalidParameter).
long Resolve(std::string& folder, const char* path);

// The whole value file, when it is a regular file of at most kMaxValueFile bytes.
long ReadWhole(const std::string& file, std::vector<unsigned char>& bytes);

// The value file written beside its place and renamed into it.
long WriteValueFile(const std::string& file, std::uint32_t type, const unsigned char* data, std::uint32_t size);

}  // namespace kestar::platform::store
