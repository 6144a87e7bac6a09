#include "platform/files.h"

#include "platform/debug_trace.h"

namespace kestar::platform {

FileOps& Files() {
    static FileOps ops = FileDefaults();
    return ops;
}

ReadFileResult ReadRegularFile(const char* path, std::uint64_t maxBytes, std::string& bytes) {
    bytes.clear();
    FileOps& files = Files();
    const FileHandle file = files.OpenForReading(path);
    if (file == kInvalidFile) {
        // A file that is simply not there is no news; one that is there (through a
        // link, say) and cannot be opened for what it is, is.
        if (files.GetFileAttributes(path) != kInvalidFileAttributes) {
            Trace("File '%s' cannot be opened for reading as a regular file: not read\n", path);
        }
        return ReadFileResult::kCannotOpen;
    }
    FileInfo info{};
    ReadFileResult result = ReadFileResult::kRead;
    if (!files.GetFileInfo(file, &info) || !info.regular) {
        Trace("File '%s' is not a regular file: not read\n", path);
        result = ReadFileResult::kNotRegular;
    } else if (info.size > maxBytes) {
        Trace("File '%s' holds more than %lu bytes: not read\n", path, static_cast<unsigned long>(maxBytes));
        result = ReadFileResult::kTooLarge;
    } else {
        // The size is a hint: a file that grows meanwhile is still read no further
        // than maxBytes, and one that shrinks ends where it ends.
        bytes.resize(static_cast<std::size_t>(info.size));
        std::size_t done = 0;
        char area[4096];
        for (;;) {
            std::uint32_t got = 0;
            if (!files.Read(file, area, sizeof area, &got)) {
                result = ReadFileResult::kReadFailed;
                break;
            }
            if (got == 0) break;
            if (done + got > maxBytes) {
                Trace("File '%s' holds more than %lu bytes: not read\n", path, static_cast<unsigned long>(maxBytes));
                result = ReadFileResult::kTooLarge;
                break;
            }
            if (done + got > bytes.size()) bytes.resize(done + got);
            bytes.replace(done, got, area, got);
            done += got;
        }
        bytes.resize(result == ReadFileResult::kRead ? done : 0);
        if (result == ReadFileResult::kReadFailed) Trace("File '%s' could not be read\n", path);
    }
    files.Close(file);
    return result;
}

}  // namespace kestar::platform
