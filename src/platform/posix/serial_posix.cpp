// The serial table on POSIX: termios stand-ins for the Win32 comm calls, with
// the same results and Windows-style last-error values, so that the driver above
// maps a missing device to -14 and a held one to -3 as on Windows.
//
// "\\.\COMn" opens the device that $KESTAR_DEVICES/comn links to (the convention
// of Wine's dosdevices folder), else /dev/ttyS<n-1>. The device is held with flock
// and TIOCEXCL so that a second open, from this or another process, is refused.
//
// Reads complete at once. A write the terminal cannot take whole at once (its
// buffer is full, the peer reads slowly) is left pending as on Windows: its record
// is marked pending, the caller's buffer address is kept, and the rest of its
// bytes are handed to the terminal by later calls on the device, in order; the
// caller is never blocked, except by a GetOverlappedResult that waits.
//
// The device records and the pending writes: serial_posix_device.cpp; the line
// settings: serial_posix_lines.cpp over termios_translation.cpp; every system
// call: posix_calls.h.
#include "platform/serial.h"

#include "platform/posix/posix_calls.h"
#include "platform/posix/serial_posix_device.h"
#include "platform/posix/serial_posix_lines.h"
#include "platform/posix/termios_translation.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>

namespace kestar::platform {
namespace {

void Complete(Overlapped* overlapped, std::uint32_t count) {
    if (overlapped != nullptr) CompleteWith(overlapped, 0, count);
}


Handle PosixCreateFileA(const char* name, std::uint32_t, std::uint32_t, void*, std::uint32_t, std::uint32_t,
                        Handle) {
    const int number = ComNumber(name);
    if (number == 0) {
        Fail(kErrorFileNotFound);
        return InvalidHandleValue();
    }
    char path[4096];
    DevicePath(number, path, sizeof path);
    const int fd = Posix().open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) {
        FailErrno();
        return InvalidHandleValue();
    }
    if (!Posix().isatty(fd)) {  // a file that is no serial device: there is no UART here
        Posix().close(fd);
        Fail(kErrorFileNotFound);
        return InvalidHandleValue();
    }
    if (Posix().flock(fd, LOCK_EX | LOCK_NB) != 0 || DeviceIoctl(fd, TIOCEXCL) != 0) {
        FailErrno();
        Posix().close(fd);
        return InvalidHandleValue();
    }
    PosixDevice* device = TakeDevice(number, fd);
    if (device == nullptr) {
        DeviceIoctl(fd, TIOCNXCL);
        Posix().close(fd);
        Fail(kErrorGenFailure);
        return InvalidHandleValue();
    }
    device->pseudoTerminal = IsPseudoTerminal(fd);
    device->dcb.DCBlength = sizeof(Dcb);
    device->dcb.fBinary = 1;
    device->dcb.fDtrControl = kDtrControlEnable;
    device->dcb.fRtsControl = kRtsControlEnable;
    device->timeouts.ReadIntervalTimeout = kMaxDword;  // reads return at once until told otherwise
    return device;
}

Bool PosixSetupComm(Handle handle, std::uint32_t, std::uint32_t) {
    // The kernel's queues have fixed sizes; the request is accepted as Windows does.
    return Device(handle) ? 1 : 0;
}

// termios reports no framing, parity or overrun events without marking them in
// the data stream, so the error word is always 0 here. Each count is a system
// call of its own (TIOCINQ, TIOCOUTQ): only those asked for are made.
Bool PosixClearCommErrorFor(Handle handle, std::uint32_t queues, std::uint32_t* errors, ComStat* stat) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    HandPendingWrites(device);
    int in = 0, out = 0;
    if ((queues & kInQueue) != 0 && DeviceIoctl(device->fd, TIOCINQ, &in) != 0) return FailErrno();
    if ((queues & kOutQueue) != 0 && DeviceIoctl(device->fd, TIOCOUTQ, &out) != 0) return FailErrno();
    if (errors != nullptr) *errors = 0;
    if (stat != nullptr) {
        std::memset(stat, 0, sizeof *stat);
        if ((queues & kInQueue) != 0) {
            stat->cbInQue = static_cast<std::uint32_t>(in) + (device->haveLookahead ? 1u : 0u);
        }
        // As on Windows, the bytes of pending writes are part of the transmit queue.
        if ((queues & kOutQueue) != 0) stat->cbOutQue = static_cast<std::uint32_t>(out) + PendingBytes(device);
    }
    return 1;
}

Bool PosixClearCommError(Handle handle, std::uint32_t* errors, ComStat* stat) {
    return PosixClearCommErrorFor(handle, kBothQueues, errors, stat);
}

std::uint64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

Bool PosixReadFile(Handle handle, void* buffer, std::uint32_t length, std::uint32_t* read, Overlapped* overlapped) {
    PosixDevice* device = Device(handle);
    if (read != nullptr) *read = 0;
    if (device == nullptr) return 0;
    HandPendingWrites(device);
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t got = 0;
    if (length > 0 && device->haveLookahead) {
        bytes[got++] = device->lookahead;
        device->haveLookahead = false;
    }
    const CommTimeouts& t = device->timeouts;
    const bool immediate = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                           t.ReadTotalTimeoutConstant == 0;
    const std::uint64_t total = ReadTotalTimeout(t, length);
    const std::uint64_t start = NowMs();
    while (got < length) {
        const ssize_t n = Posix().read(device->fd, bytes + got, length - got);
        if (n > 0) {
            got += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            if (got > 0) break;
            Complete(overlapped, 0);
            return FailErrno();
        }
        if (immediate) break;
        const int wait = PollWaitMs(total, NowMs() - start);
        if (wait == 0) break;
        pollfd ready{device->fd, POLLIN, 0};
        Posix().poll(&ready, 1, wait);
    }
    if (read != nullptr) *read = got;
    Complete(overlapped, got);
    return 1;
}

Bool PosixWriteFile(Handle handle, const void* buffer, std::uint32_t length, std::uint32_t* written,
                    Overlapped* overlapped) {
    PosixDevice* device = Device(handle);
    if (written != nullptr) *written = 0;
    if (device == nullptr) return 0;
    HandPendingWrites(device);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::uint32_t sent = 0;
    // Behind writes still pending, this one waits its turn.
    while (device->pendingWrites->empty() && sent < length) {
        const ssize_t n = Posix().write(device->fd, bytes + sent, length - sent);
        if (n > 0) {
            sent += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            if (written != nullptr) *written = sent;
            Complete(overlapped, sent);
            return FailErrno();
        }
        break;  // the terminal takes no more now
    }
    if (sent < length && overlapped != nullptr) {
        CompleteWith(overlapped, kStatusPending, 0);
        device->pendingWrites->push_back(PendingWrite{overlapped, bytes, length, sent});
        return Fail(kErrorIoPending);
    }
    if (written != nullptr) *written = sent;
    Complete(overlapped, sent);
    return 1;
}

Bool PosixGetOverlappedResult(Handle handle, Overlapped* overlapped, std::uint32_t* transferred, Bool wait) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    if (overlapped == nullptr) return Fail(kErrorInvalidParameter);
    HandPendingWrites(device);
    while (wait && FindPendingWrite(device, overlapped) != nullptr) {
        pollfd ready{device->fd, POLLOUT, 0};
        Posix().poll(&ready, 1, 100);
        HandPendingWrites(device);
    }
    if (const PendingWrite* write = FindPendingWrite(device, overlapped)) {
        if (transferred != nullptr) *transferred = write->handed;
        return Fail(kErrorIoIncomplete);
    }
    if (transferred != nullptr) *transferred = static_cast<std::uint32_t>(overlapped->InternalHigh);
    if (overlapped->Internal == kStatusCancelled) return Fail(kErrorOperationAborted);
    if (overlapped->Internal == kStatusWriteFailed) return Fail(kErrorDeviceNotConnected);
    return 1;
}

Bool PosixPurgeComm(Handle handle, std::uint32_t flags) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    // An abort ends the writes still pending; only a clear empties what the
    // terminal has already taken, as on Windows.
    if (flags & kPurgeTxAbort) CancelPendingWrites(device);
    if ((flags & kPurgeTxClear) && Posix().tcflush(device->fd, TCOFLUSH) != 0) return FailErrno();
    if (flags & (kPurgeRxAbort | kPurgeRxClear)) {
        device->haveLookahead = false;
        if (Posix().tcflush(device->fd, TCIFLUSH) != 0) return FailErrno();
    }
    return 1;
}

// The one-byte look-ahead: the next byte is taken from the device into the
// device record and handed out again by the next ReadFile, so it is copied out
// here without being consumed. Nothing waiting: success with nothing copied.
Bool PosixPeekNamedPipe(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read,
                        std::uint32_t* available, std::uint32_t* leftThisMessage) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    if (!device->haveLookahead) {
        unsigned char byte = 0;
        ssize_t n;
        do {
            n = Posix().read(device->fd, &byte, 1);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno != EAGAIN) return FailErrno();
        if (n == 1) {
            device->lookahead = byte;
            device->haveLookahead = true;
        }
    }
    // A count the terminal does not give is a failure, not an empty queue; the
    // byte already taken stays for the next read.
    int queued = 0;
    if (DeviceIoctl(device->fd, TIOCINQ, &queued) != 0) return FailErrno();
    std::uint32_t copied = 0;
    if (device->haveLookahead && size > 0 && buffer != nullptr) {
        *static_cast<unsigned char*>(buffer) = device->lookahead;
        copied = 1;
    }
    if (read != nullptr) *read = copied;
    if (available != nullptr) *available = static_cast<std::uint32_t>(queued) + (device->haveLookahead ? 1u : 0u);
    if (leftThisMessage != nullptr) *leftThisMessage = 0;
    return 1;
}

Bool PosixCloseHandle(Handle handle) {
    if (CloseEvent(handle)) return 1;
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    CancelPendingWrites(device);  // closing the device ends what it still holds
    const int fd = device->fd;
    ReleaseDevice(device);
    DeviceIoctl(fd, TIOCNXCL);  // a pseudo-terminal keeps the flag while its other side lives
    return Succeeded(Posix().close(fd));
}

Handle PosixCreateEventA(void*, Bool, Bool initialState, const char*) { return NewEvent(initialState != 0); }

Bool PosixCancelIo(Handle handle) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    CancelPendingWrites(device);
    return 1;
}

std::uint32_t PosixGetLastError() { return LastError(); }

}  // namespace

SerialOps SerialDefaults() {
    SerialOps ops{};
    FillLineOps(ops);  // the line settings, timeouts, masks and modem lines
    ops.CreateFileA = PosixCreateFileA;
    ops.SetupComm = PosixSetupComm;
    ops.ClearCommError = PosixClearCommError;
    ops.ClearCommErrorFor = PosixClearCommErrorFor;
    ops.ReadFile = PosixReadFile;
    ops.WriteFile = PosixWriteFile;
    ops.GetOverlappedResult = PosixGetOverlappedResult;
    ops.PurgeComm = PosixPurgeComm;
    ops.PeekNamedPipe = PosixPeekNamedPipe;
    ops.CloseHandle = PosixCloseHandle;
    ops.GetLastError = PosixGetLastError;
    ops.CreateEventA = PosixCreateEventA;
    ops.CancelIo = PosixCancelIo;
    return ops;
}

std::string ComDeviceTarget(int number) {
    char path[4096];
    DevicePath(number, path, sizeof path);
    return path;
}

}  // namespace kestar::platform
