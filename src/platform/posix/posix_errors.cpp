#include "platform/posix/posix_errors.h"

#include "platform/serial.h"

#include <cerrno>

namespace kestar::platform {
namespace {

struct ErrnoError {
    int error;
    std::uint32_t windows;
};

// EWOULDBLOCK is EAGAIN on Linux: a lock someone else holds.
constexpr ErrnoError kErrors[] = {
    {ENOENT, kErrorFileNotFound},       {ENOTDIR, kErrorFileNotFound},    {ENXIO, kErrorFileNotFound},
    {ENODEV, kErrorFileNotFound},       {EACCES, kErrorAccessDenied},     {EPERM, kErrorAccessDenied},
    {EBUSY, kErrorAccessDenied},        {EWOULDBLOCK, kErrorAccessDenied}, {EBADF, kErrorInvalidHandle},
    {ENOTTY, kErrorNotSupported},       {ENOSYS, kErrorNotSupported},     {EINVAL, kErrorInvalidParameter},
    {EIO, kErrorDeviceNotConnected},
};

}  // namespace

std::uint32_t ErrorFromErrno(int error) {
    for (const ErrnoError& e : kErrors) {
        if (e.error == error) return e.windows;
    }
    return kErrorGenFailure;
}

}  // namespace kestar::platform
