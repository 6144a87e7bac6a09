#include "platform/posix/serial_posix_device.h"

#include "platform/posix/posix_calls.h"
#include "platform/posix/posix_errors.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kestar::platform {
namespace {

constexpr std::uint32_t kDeviceMagic = 0x4B434F4Du;  // "KCOM"
constexpr std::uint32_t kEventMagic = 0x4B45564Eu;   // "KEVN"

struct PosixEvent {
    std::uint32_t magic;
    bool signaled;
};

// One record a COM number: a COM device is held by one open at a time (flock), so
// its record is free whenever an open of it gets that far.
PosixDevice devices[256];

// The events of overlapped records (one a port object), kept like the device
// records: a handle is looked at only once its address names one of the records,
// so that a handle closed before is never read through memory given back.
constexpr std::size_t kEventCount = 256;
PosixEvent events[kEventCount];

// Whether handle is the address of one of the records of table, from its first.
template <typename Record, std::size_t N>
bool IsRecordOf(const Record (&table)[N], std::size_t first, Handle handle) {
    const auto at = reinterpret_cast<std::uintptr_t>(handle);
    const auto begin = reinterpret_cast<std::uintptr_t>(&table[first]);
    const auto end = reinterpret_cast<std::uintptr_t>(&table[0] + N);
    return at >= begin && at < end && (at - begin) % sizeof(Record) == 0;
}

bool IsDeviceRecord(Handle handle) { return IsRecordOf(devices, 1, handle); }

}  // namespace

PosixDevice* TakeDevice(int comNumber, int fd) {
    PosixDevice& device = devices[comNumber & 0xFF];
    if (device.magic == kDeviceMagic) return nullptr;
    auto* queue = new (std::nothrow) std::deque<PendingWrite>();
    if (queue == nullptr) return nullptr;
    device = PosixDevice{};
    device.magic = kDeviceMagic;
    device.fd = fd;
    device.comNumber = comNumber;
    device.pendingWrites = queue;
    return &device;
}

void ReleaseDevice(PosixDevice* device) {
    delete device->pendingWrites;
    device->pendingWrites = nullptr;
    device->magic = 0;
}

PosixDevice* Device(Handle handle) {
    if (!IsDeviceRecord(handle) || static_cast<PosixDevice*>(handle)->magic != kDeviceMagic) {
        LastError() = kErrorInvalidHandle;
        return nullptr;
    }
    return static_cast<PosixDevice*>(handle);
}

Handle NewEvent(bool signaled) {
    for (PosixEvent& event : events) {
        if (event.magic == kEventMagic) continue;
        event.magic = kEventMagic;
        event.signaled = signaled;
        return &event;
    }
    LastError() = kErrorGenFailure;  // every record is in use
    return nullptr;
}

bool CloseEvent(Handle handle) {
    if (!IsRecordOf(events, 0, handle)) return false;
    auto* event = static_cast<PosixEvent*>(handle);
    if (event->magic != kEventMagic) return false;
    event->magic = 0;
    return true;
}

void CompleteWith(Overlapped* overlapped, std::uintptr_t status, std::uint32_t count) {
    overlapped->Internal = status;
    overlapped->InternalHigh = count;
}

void HandPendingWrites(PosixDevice* device) {
    std::deque<PendingWrite>& queue = *device->pendingWrites;
    while (!queue.empty()) {
        PendingWrite& write = queue.front();
        while (write.handed < write.length) {
            const ssize_t n = Posix().write(device->fd, write.bytes + write.handed, write.length - write.handed);
            if (n > 0) {
                write.handed += static_cast<std::uint32_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                return;
            } else {
                break;
            }
        }
        if (write.handed == write.length) {
            CompleteWith(write.record, 0, write.length);
        } else {
            CompleteWith(write.record, kStatusWriteFailed, write.handed);
        }
        queue.pop_front();
    }
}

void CancelPendingWrites(PosixDevice* device) {
    for (PendingWrite& write : *device->pendingWrites) CompleteWith(write.record, kStatusCancelled, write.handed);
    device->pendingWrites->clear();
}

const PendingWrite* FindPendingWrite(const PosixDevice* device, const Overlapped* record) {
    for (const PendingWrite& write : *device->pendingWrites) {
        if (write.record == record) return &write;
    }
    return nullptr;
}

std::uint32_t PendingBytes(const PosixDevice* device) {
    std::uint32_t bytes = 0;
    for (const PendingWrite& write : *device->pendingWrites) bytes += write.length - write.handed;
    return bytes;
}

int ComNumber(const char* name) {
    if (name == nullptr) return 0;
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    if (strncasecmp(name, "COM", 3) != 0) return 0;
    name += 3;
    int number = 0;
    for (int digits = 0; *name != '\0'; ++name, ++digits) {
        if (*name < '0' || *name > '9' || digits >= 3) return 0;
        number = number * 10 + (*name - '0');
    }
    return number >= 1 && number <= kHighestComNumber ? number : 0;
}

void DevicePath(int number, char* path, std::size_t size) {
    const char* folder = std::getenv("KESTAR_DEVICES");
    if (folder != nullptr && *folder != '\0') {
        std::snprintf(path, size, "%s/com%d", folder, number);
        struct stat link {};
        if (Posix().lstat(path, &link) == 0) return;
    }
    std::snprintf(path, size, "/dev/ttyS%d", number - 1);
}

// Linux device numbers of pseudo-terminals: the slaves of /dev/pts (136 to 143),
// the old-style masters and slaves (2 and 3), and /dev/ptmx (5, 2).
bool IsPseudoTerminal(int fd) {
    struct stat info {};
    if (Posix().fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    const unsigned int kind = major(info.st_rdev);
    return (kind >= 136 && kind <= 143) || kind == 2 || kind == 3 || (kind == 5 && minor(info.st_rdev) == 2);
}

std::uint32_t& LastError() {
    thread_local std::uint32_t lastError = 0;
    return lastError;
}

Bool Fail(std::uint32_t error) {
    LastError() = error;
    return 0;
}

Bool FailErrno() { return Fail(ErrorFromErrno(errno)); }

Bool Succeeded(int result) { return result == 0 ? 1 : FailErrno(); }

int DeviceIoctl(int fd, unsigned long request, void* argument) { return Posix().ioctl(fd, request, argument); }

}  // namespace kestar::platform
