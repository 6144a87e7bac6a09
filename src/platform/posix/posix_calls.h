// The system calls of the POSIX stand-ins, as one table: every stand-in calls the
// kernel through it, so that a test can replace any one call (and the fault sweep
// can fail it with the errno the kernel gives) below the stand-in's own code.
#pragma once

#include "platform/scoped_ops.h"

#include <cstddef>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

namespace kestar::platform {

struct PosixCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*openat)(int folder, const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buffer, std::size_t size);
    ssize_t (*write)(int fd, const void* data, std::size_t size);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*ftruncate)(int fd, off_t length);
    int (*fstat)(int fd, struct stat* info);
    int (*stat)(const char* path, struct stat* info);
    int (*lstat)(const char* path, struct stat* info);
    int (*flock)(int fd, int operation);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
    int (*mkdir)(const char* path, mode_t mode);
    int (*rmdir)(const char* path);
    int (*isatty)(int fd);
    // ioctl with its one argument (every request the stand-ins make takes one or none).
    int (*ioctl)(int fd, unsigned long request, void* argument);
    int (*tcgetattr)(int fd, termios* tio);
    int (*tcsetattr)(int fd, int when, const termios* tio);
    int (*tcflush)(int fd, int queue);
    int (*tcflow)(int fd, int action);
    int (*poll)(pollfd* fds, nfds_t count, int timeout);
};

// The table in use.
PosixCalls& Posix();

// The kernel's own calls.
PosixCalls PosixDefaults();

using ScopedPosixCalls = ScopedOps<PosixCalls, Posix>;

}  // namespace kestar::platform
