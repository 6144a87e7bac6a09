#include "platform/posix/posix_calls.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kestar::platform {
namespace {

int SystemOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int SystemOpenat(int folder, const char* path, int flags, mode_t mode) {
    return ::openat(folder, path, flags, mode);
}
int SystemIoctl(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }
int SystemStat(const char* path, struct stat* info) { return ::stat(path, info); }
int SystemLstat(const char* path, struct stat* info) { return ::lstat(path, info); }
int SystemFstat(int fd, struct stat* info) { return ::fstat(fd, info); }

}  // namespace

PosixCalls PosixDefaults() {
    PosixCalls calls{};
    calls.open = SystemOpen;
    calls.openat = SystemOpenat;
    calls.close = ::close;
    calls.read = ::read;
    calls.write = ::write;
    calls.lseek = ::lseek;
    calls.ftruncate = ::ftruncate;
    calls.fstat = SystemFstat;
    calls.stat = SystemStat;
    calls.lstat = SystemLstat;
    calls.flock = ::flock;
    calls.rename = ::rename;
    calls.unlink = ::unlink;
    calls.mkdir = ::mkdir;
    calls.rmdir = ::rmdir;
    calls.isatty = ::isatty;
    calls.ioctl = SystemIoctl;
    calls.tcgetattr = ::tcgetattr;
    calls.tcsetattr = ::tcsetattr;
    calls.tcflush = ::tcflush;
    calls.tcflow = ::tcflow;
    calls.poll = ::poll;
    return calls;
}

PosixCalls& Posix() {
    static PosixCalls calls = PosixDefaults();
    return calls;
}

}  // namespace kestar::platform
