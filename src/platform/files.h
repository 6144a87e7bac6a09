// Files: the interface log's exclusive file and file attributes.
//
// Windows: CreateFileA with no sharing, SetFilePointer, WriteFile, CloseHandle,
// GetFileAttributesA. POSIX: open with an exclusive flock taken before any
// truncation (so a file another process holds is neither emptied nor written),
// lseek, write, close, stat.
#pragma once

#include <cstdint>
#include <string>

namespace kestar::platform {

using FileHandle = std::intptr_t;
constexpr FileHandle kInvalidFile = -1;

constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
constexpr std::uint32_t kFileAttributeDirectory = 0x10u;
constexpr std::uint32_t kFileAttributeNormal = 0x80u;

struct FileOps {
    // Write-only, no sharing, created when missing; truncate empties an existing file.
    // kInvalidFile when the file cannot be had (missing folder, held elsewhere).
    FileHandle (*OpenExclusive)(const char* path, bool truncate);
    bool (*SeekToEnd)(FileHandle file);
    // Writes size bytes; false unless all were written (written says how many were).
    bool (*Write)(FileHandle file, const void* data, std::uint32_t size, std::uint32_t* written);
    bool (*Close)(FileHandle file);
    std::uint32_t (*GetFileAttributes)(const char* path);
};

FileOps& Files();
FileOps FileDefaults();

class ScopedFileOps {
public:
    explicit ScopedFileOps(const FileOps& replacement) : previous_(Files()) { Files() = replacement; }
    ~ScopedFileOps() { Files() = previous_; }
    ScopedFileOps(const ScopedFileOps&) = delete;
    ScopedFileOps& operator=(const ScopedFileOps&) = delete;

private:
    FileOps previous_;
};

// A fixed relative path written with backslashes, in this platform's separators.
std::string LocalPath(const char* fixedPath);

}  // namespace kestar::platform
