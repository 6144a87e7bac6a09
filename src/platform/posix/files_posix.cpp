#include "platform/files.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestar::platform {
namespace {

FileHandle PosixOpenExclusive(const char* path, bool truncate) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return kInvalidFile;
    // The lock comes first: emptying a file that someone else holds would lose their lines.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || (truncate && ::ftruncate(fd, 0) != 0)) {
        ::close(fd);
        return kInvalidFile;
    }
    return fd;
}

bool PosixSeekToEnd(FileHandle file) { return ::lseek(static_cast<int>(file), 0, SEEK_END) >= 0; }

bool PosixWrite(FileHandle file, const void* data, std::uint32_t size, std::uint32_t* written) {
    const char* next = static_cast<const char*>(data);
    std::uint32_t done = 0;
    while (done < size) {
        ssize_t put = ::write(static_cast<int>(file), next + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        done += static_cast<std::uint32_t>(put);
    }
    if (written != nullptr) *written = done;
    return done == size;
}

bool PosixClose(FileHandle file) { return ::close(static_cast<int>(file)) == 0; }

std::uint32_t PosixGetFileAttributes(const char* path) {
    struct stat info {};
    if (::stat(path, &info) != 0) return kInvalidFileAttributes;
    return S_ISDIR(info.st_mode) ? kFileAttributeDirectory : kFileAttributeNormal;
}

}  // namespace

FileOps FileDefaults() {
    return FileOps{PosixOpenExclusive, PosixSeekToEnd, PosixWrite, PosixClose, PosixGetFileAttributes};
}

std::string LocalPath(const char* fixedPath) {
    std::string path(fixedPath);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

}  // namespace kestar::platform
