// Files: the interface log's exclusive file, the settings file read once, and file
// attributes.
//
// The module may run inside an elevated host, in folders others can write to: both
// files are opened for what they are, and so is the folder that holds them (the
// install directory's "tolvo"): a link or junction there is refused as a link at
// the file is; the folders above it are the install directory as the registry
// names it, taken as named. A final symbolic link is never followed (it
// could make the module empty or read any file), opening never waits (a FIFO or a
// device would hold start-up for ever), and only a plain regular disk file is kept;
// anything else counts as a file that cannot be opened.
//
// Windows: CreateFileA with no sharing and FILE_FLAG_OPEN_REPARSE_POINT, never
// truncating at the open; the handle is kept only for a disk file that is neither a
// directory nor a reparse point, and only then emptied (SetEndOfFile); SetFilePointer,
// ReadFile, WriteFile, CloseHandle, GetFileAttributesA. POSIX: open with O_NOFOLLOW
// and O_NONBLOCK, fstat, then an exclusive flock taken before any truncation (so a
// file another process holds is neither emptied nor written); lseek, read, write,
// close, stat.
#pragma once

#include <cstddef>
#include "platform/scoped_ops.h"

#include <cstdint>
#include <string>

namespace kestar::platform {

using FileHandle = std::intptr_t;
constexpr FileHandle kInvalidFile = -1;

constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
constexpr std::uint32_t kFileAttributeDirectory = 0x10u;
constexpr std::uint32_t kFileAttributeNormal = 0x80u;

struct FileInfo {
    bool regular;        // a plain disk file: no directory, link, FIFO, device or reparse point
    std::uint64_t size;  // bytes
};

struct FileOps {
    // Write-only, no sharing, created when missing; truncate empties an existing file.
    // kInvalidFile when the file cannot be had (missing folder, held elsewhere, not a
    // regular file); nothing is then emptied.
    FileHandle (*OpenExclusive)(const char* path, bool truncate);
    // Read-only, for what the file is: no final link followed, no waiting.
    // kInvalidFile when the path cannot be opened so.
    FileHandle (*OpenForReading)(const char* path);
    bool (*GetFileInfo)(FileHandle file, FileInfo* info);
    // Reads up to size bytes; false on an error. read says how many (0 at the end).
    bool (*Read)(FileHandle file, void* data, std::uint32_t size, std::uint32_t* read);
    bool (*SeekToEnd)(FileHandle file);
    // Writes size bytes; false unless all were written (written says how many were).
    bool (*Write)(FileHandle file, const void* data, std::uint32_t size, std::uint32_t* written);
    bool (*Close)(FileHandle file);
    std::uint32_t (*GetFileAttributes)(const char* path);
};

FileOps& Files();
FileOps FileDefaults();

using ScopedFileOps = ScopedOps<FileOps, Files>;

// The most a settings file may hold: far beyond any real one, and it bounds what a
// file of junk costs a start-up.
constexpr std::uint64_t kMaxSettingsFileBytes = 4u << 20;

enum class ReadFileResult { kRead, kCannotOpen, kNotRegular, kTooLarge, kReadFailed };

// The whole of the regular file at path into bytes, through Files(), when it holds at
// most maxBytes; otherwise bytes is empty and the result says why (and a line went to
// the debug trace, except for a file that is simply not there).
ReadFileResult ReadRegularFile(const char* path, std::uint64_t maxBytes, std::string& bytes);

// Whether the file calls refuse the folder that holds path: it is there but is no
// plain folder (a link or junction in its place, or no folder at all). A folder
// that is simply missing is not refused. The same test the opens above make.
bool HoldingFolderRefused(const char* path);

// The longest path the file calls take. Windows: the ANSI calls, MAX_PATH - 1.
extern const std::size_t kMaxPathChars;

// Why the file calls cannot reach path, or empty when they can: longer than
// kMaxPathChars, or (Windows) a name outside the ANSI code page, which the ANSI
// calls received as '?'.
std::string PathOutOfReach(const std::string& path);

// A fixed relative path written with backslashes, in this platform's separators.
std::string LocalPath(const char* fixedPath);

}  // namespace kestar::platform
