#include "platform/files.h"

#include "platform/posix/posix_calls.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <climits>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestar::platform {
namespace {

// A link at the path fails (ELOOP) instead of being followed, a FIFO or device
// never holds the open, and no terminal becomes the host's controlling one.
constexpr int kOpenForWhatItIs = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The folder that holds the file is opened for what it is as well, and the file
// relative to it: a link in its place (to a folder elsewhere) is refused as a link
// at the file is, and nothing can be swapped in between. The folders above it (the
// install directory as the registry names it) are taken as they are named.
// Returns the folder's descriptor with name pointing at the file's name in path,
// or -1 when the folder is not a real folder.
int OpenHoldingFolder(const char* path, const char*& name) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        name = path;
        return Posix().open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    }
    name = slash + 1;
    const std::string folder(path, slash);
    const std::size_t cut = folder.find_last_of('/');
    const std::string above = cut == std::string::npos ? "." : (cut == 0 ? "/" : folder.substr(0, cut));
    const std::string own = cut == std::string::npos ? folder : folder.substr(cut + 1);
    if (own.empty()) return Posix().open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    const int aboveFd = Posix().open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (aboveFd < 0) return -1;
    const int fd = Posix().openat(aboveFd, own.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    Posix().close(aboveFd);
    return fd;
}

int OpenInHoldingFolder(const char* path, int flags, mode_t mode = 0) {
    const char* name = nullptr;
    const int folder = OpenHoldingFolder(path, name);
    if (folder < 0) return -1;
    const int fd = Posix().openat(folder, name, flags, mode);
    const int error = errno;
    Posix().close(folder);
    errno = error;
    return fd;
}

}  // namespace

bool HoldingFolderRefused(const char* path) {
    const char* name = nullptr;
    const int folder = OpenHoldingFolder(path, name);
    if (folder < 0) return errno != ENOENT;
    Posix().close(folder);
    return false;
}

namespace {

bool IsRegular(int fd) {
    struct stat info {};
    return Posix().fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

FileHandle PosixOpenExclusive(const char* path, bool truncate) {
    int fd = OpenInHoldingFolder(path, O_WRONLY | O_CREAT | kOpenForWhatItIs, 0666);
    if (fd < 0) return kInvalidFile;
    // The lock comes first: emptying a file that someone else holds would lose their lines.
    if (!IsRegular(fd) || Posix().flock(fd, LOCK_EX | LOCK_NB) != 0 || (truncate && Posix().ftruncate(fd, 0) != 0)) {
        Posix().close(fd);
        return kInvalidFile;
    }
    return fd;
}

FileHandle PosixOpenForReading(const char* path) {
    int fd = OpenInHoldingFolder(path, O_RDONLY | kOpenForWhatItIs);
    return fd < 0 ? kInvalidFile : fd;
}

bool PosixGetFileInfo(FileHandle file, FileInfo* info) {
    struct stat status {};
    if (Posix().fstat(static_cast<int>(file), &status) != 0) return false;
    info->regular = S_ISREG(status.st_mode);
    info->size = status.st_size > 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
    return true;
}

bool PosixRead(FileHandle file, void* data, std::uint32_t size, std::uint32_t* read) {
    ssize_t got;
    do {
        got = Posix().read(static_cast<int>(file), data, size);
    } while (got < 0 && errno == EINTR);
    *read = got > 0 ? static_cast<std::uint32_t>(got) : 0;
    return got >= 0;
}

bool PosixSeekToEnd(FileHandle file) { return Posix().lseek(static_cast<int>(file), 0, SEEK_END) >= 0; }

bool PosixWrite(FileHandle file, const void* data, std::uint32_t size, std::uint32_t* written) {
    const char* next = static_cast<const char*>(data);
    std::uint32_t done = 0;
    while (done < size) {
        ssize_t put = Posix().write(static_cast<int>(file), next + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        done += static_cast<std::uint32_t>(put);
    }
    if (written != nullptr) *written = done;
    return done == size;
}

bool PosixClose(FileHandle file) { return Posix().close(static_cast<int>(file)) == 0; }

std::uint32_t PosixGetFileAttributes(const char* path) {
    struct stat info {};
    if (Posix().stat(path, &info) != 0) return kInvalidFileAttributes;
    return S_ISDIR(info.st_mode) ? kFileAttributeDirectory : kFileAttributeNormal;
}

}  // namespace

FileOps FileDefaults() {
    FileOps ops{};
    ops.OpenExclusive = PosixOpenExclusive;
    ops.OpenForReading = PosixOpenForReading;
    ops.GetFileInfo = PosixGetFileInfo;
    ops.Read = PosixRead;
    ops.SeekToEnd = PosixSeekToEnd;
    ops.Write = PosixWrite;
    ops.Close = PosixClose;
    ops.GetFileAttributes = PosixGetFileAttributes;
    return ops;
}

const std::size_t kMaxPathChars = PATH_MAX - 1;

std::string PathOutOfReach(const std::string& path) {
    if (path.size() <= kMaxPathChars) return std::string();
    return "its " + std::to_string(path.size()) + " characters are more than the " + std::to_string(kMaxPathChars) +
           " that the file calls take";
}

std::string LocalPath(const char* fixedPath) {
    std::string path(fixedPath);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

}  // namespace kestar::platform
