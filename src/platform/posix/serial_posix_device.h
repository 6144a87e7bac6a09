// The device side of the POSIX serial stand-in: the device records behind the
// handles, COM names and device paths, pseudo-terminal detection, the queue of
// writes the terminal has not taken whole yet, events, and the last error.
#pragma once

#include "platform/serial.h"

#include <cstddef>
#include <cstdint>
#include <deque>

namespace kestar::platform {

constexpr std::uintptr_t kStatusWriteFailed = 0xC0000185;  // STATUS_IO_DEVICE_ERROR

// A write the terminal has not taken whole yet.
struct PendingWrite {
    Overlapped* record;
    const unsigned char* bytes;  // the caller's buffer, read as the terminal takes it
    std::uint32_t length;
    std::uint32_t handed;        // bytes the terminal has taken
};

struct PosixDevice {
    std::uint32_t magic;  // kDeviceMagic while open; first, as in an event
    int fd;
    int comNumber;
    bool pseudoTerminal;  // carries 8 data bits without parity, whatever is asked
    Dcb dcb;  // the members termios has no place for, as last set
    CommTimeouts timeouts;
    std::uint32_t eventMask;
    bool haveLookahead;  // one byte taken from the device by PeekNamedPipe
    unsigned char lookahead;
    std::deque<PendingWrite>* pendingWrites;  // oldest first
};

// The record of COM number (1 to 255), taken for fd, or nullptr when the record
// is in use or no memory is left. The records are never freed: a handle that
// outlived its close names a closed record, never freed memory.
PosixDevice* TakeDevice(int comNumber, int fd);
// Gives the record back after its close.
void ReleaseDevice(PosixDevice* device);
// The open device a handle names; nullptr (last error: invalid handle) for any other.
PosixDevice* Device(Handle handle);

// Events of overlapped records. Transfers here complete inside the calls on the
// device, so nothing ever waits on one; it is kept for the record's sake.
Handle NewEvent(bool signaled);
// Closes handle when it is an event; false when it is none.
bool CloseEvent(Handle handle);

// Hands the pending writes to the terminal, oldest first, as far as it takes them
// without blocking. A write the terminal refuses (the peer hung up) completes
// with a device error.
void HandPendingWrites(PosixDevice* device);
// Ends every pending write unfinished, as CancelIo and a transmit abort do.
void CancelPendingWrites(PosixDevice* device);
const PendingWrite* FindPendingWrite(const PosixDevice* device, const Overlapped* record);
std::uint32_t PendingBytes(const PosixDevice* device);
void CompleteWith(Overlapped* overlapped, std::uintptr_t status, std::uint32_t count);

// "\\.\COMn" or "COMn", n from 1 to 255; 0 when the name is no COM device name.
int ComNumber(const char* name);
// $KESTAR_DEVICES/comn when that link exists, else /dev/ttyS<n-1>.
void DevicePath(int number, char* path, std::size_t size);
// Whether fd is a Linux pseudo-terminal.
bool IsPseudoTerminal(int fd);

// ioctl on the device through the call table. TIOCEXCL, TIOCNXCL, TIOCSBRK and
// TIOCCBRK take no argument; the null argument gives ioctl, which reads one
// whatever the request, a defined value.
int DeviceIoctl(int fd, unsigned long request, void* argument = nullptr);

// The thread's last error, as GetLastError gives it.
std::uint32_t& LastError();
// Sets the last error and returns failure.
Bool Fail(std::uint32_t error);
// Fails with the Windows error that stands for errno.
Bool FailErrno();
// 1 for a system call's 0, else FailErrno().
Bool Succeeded(int result);

}  // namespace kestar::platform
