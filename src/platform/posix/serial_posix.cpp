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
#include "platform/serial.h"

#include "platform/debug_trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace kestar::platform {
namespace {

constexpr std::uint32_t kDeviceMagic = 0x4B434F4Du;  // "KCOM"
constexpr std::uint32_t kEventMagic = 0x4B45564Eu;   // "KEVN"
constexpr std::uintptr_t kStatusWriteFailed = 0xC0000185;  // STATUS_IO_DEVICE_ERROR

// A write the terminal has not taken whole yet.
struct PendingWrite {
    Overlapped* record;
    const unsigned char* bytes;  // the caller's buffer, read as the terminal takes it
    std::uint32_t length;
    std::uint32_t handed;        // bytes the terminal has taken
};

// The event of an overlapped record. Transfers here complete inside the calls on
// the device, so nothing ever waits on it; it is kept for the record's sake.
struct PosixEvent {
    std::uint32_t magic;
    bool signaled;
};

struct PosixDevice {
    std::uint32_t magic;
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

thread_local std::uint32_t lastError = 0;

Bool Fail(std::uint32_t error) {
    lastError = error;
    return 0;
}

std::uint32_t ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
            return kErrorFileNotFound;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return kErrorAccessDenied;
        case EBADF:
            return kErrorInvalidHandle;
        case ENOTTY:
        case ENOSYS:
            return kErrorNotSupported;
        case EINVAL:
            return kErrorInvalidParameter;
        case EIO:
            return kErrorDeviceNotConnected;
        default:
            return kErrorGenFailure;
    }
}

Bool FailErrno() { return Fail(ErrorFromErrno(errno)); }

PosixDevice* Device(Handle handle) {
    auto* device = static_cast<PosixDevice*>(handle);
    if (handle == nullptr || handle == InvalidHandleValue() || device->magic != kDeviceMagic) {
        lastError = kErrorInvalidHandle;
        return nullptr;
    }
    return device;
}

void Complete(Overlapped* overlapped, std::uint32_t count) {
    if (overlapped == nullptr) return;
    overlapped->Internal = 0;
    overlapped->InternalHigh = count;
}

void CompleteWith(Overlapped* overlapped, std::uintptr_t status, std::uint32_t count) {
    overlapped->Internal = status;
    overlapped->InternalHigh = count;
}

// Hands the pending writes to the terminal, oldest first, as far as it takes them
// without blocking. A write the terminal refuses (the peer hung up) completes
// with a device error.
void HandPendingWrites(PosixDevice* device) {
    std::deque<PendingWrite>& queue = *device->pendingWrites;
    while (!queue.empty()) {
        PendingWrite& write = queue.front();
        while (write.handed < write.length) {
            const ssize_t n = ::write(device->fd, write.bytes + write.handed, write.length - write.handed);
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

// Ends every pending write unfinished, as CancelIo and a transmit abort do.
void CancelPendingWrites(PosixDevice* device) {
    for (PendingWrite& write : *device->pendingWrites) CompleteWith(write.record, kStatusCancelled, write.handed);
    device->pendingWrites->clear();
}

const PendingWrite* FindPendingWrite(PosixDevice* device, const Overlapped* record) {
    for (const PendingWrite& write : *device->pendingWrites) {
        if (write.record == record) return &write;
    }
    return nullptr;
}

std::uint32_t PendingBytes(PosixDevice* device) {
    std::uint32_t bytes = 0;
    for (const PendingWrite& write : *device->pendingWrites) bytes += write.length - write.handed;
    return bytes;
}

// "\\.\COMn" or "COMn", n from 1 to 255; 0 when the name is no COM device name.
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
    return number >= 1 && number <= 255 ? number : 0;
}

void DevicePath(int number, char* path, std::size_t size) {
    const char* folder = std::getenv("KESTAR_DEVICES");
    if (folder != nullptr && *folder != '\0') {
        std::snprintf(path, size, "%s/com%d", folder, number);
        struct stat link{};
        if (lstat(path, &link) == 0) return;
    }
    std::snprintf(path, size, "/dev/ttyS%d", number - 1);
}

struct Speed {
    std::uint32_t rate;
    speed_t code;
};

constexpr Speed kSpeeds[] = {{50, B50},       {75, B75},       {110, B110},     {134, B134},
                             {150, B150},     {200, B200},     {300, B300},     {600, B600},
                             {1200, B1200},   {1800, B1800},   {2400, B2400},   {4800, B4800},
                             {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600},
                             {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};

bool SpeedCode(std::uint32_t rate, speed_t& code) {
    for (const Speed& s : kSpeeds) {
        if (s.rate == rate) {
            code = s.code;
            return true;
        }
    }
    return false;
}

std::uint32_t SpeedRate(speed_t code) {
    for (const Speed& s : kSpeeds) {
        if (s.code == code) return s.rate;
    }
    return 0;
}

// Linux device numbers of pseudo-terminals: the slaves of /dev/pts (136 to 143),
// the old-style masters and slaves (2 and 3), and /dev/ptmx (5, 2).
bool IsPseudoTerminal(int fd) {
    struct stat info{};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    const unsigned int kind = major(info.st_rdev);
    return (kind >= 136 && kind <= 143) || kind == 2 || kind == 3 || (kind == 5 && minor(info.st_rdev) == 2);
}

const char* ParityName(std::uint8_t parity) {
    static constexpr const char* kNames[] = {"no", "odd", "even", "mark", "space"};
    return parity <= kSpaceParity ? kNames[parity] : "unknown";
}

Handle PosixCreateFileA(const char* name, std::uint32_t, std::uint32_t, void*, std::uint32_t, std::uint32_t,
                        Handle) {
    const int number = ComNumber(name);
    if (number == 0) {
        lastError = kErrorFileNotFound;
        return InvalidHandleValue();
    }
    char path[4096];
    DevicePath(number, path, sizeof path);
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        FailErrno();
        return InvalidHandleValue();
    }
    if (!isatty(fd)) {  // a file that is no serial device: there is no UART here
        close(fd);
        lastError = kErrorFileNotFound;
        return InvalidHandleValue();
    }
    // TIOCEXCL, TIOCNXCL, TIOCSBRK and TIOCCBRK take no argument; the explicit 0
    // gives ioctl, which reads one whatever the request, a defined value.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL, 0) != 0) {
        FailErrno();
        close(fd);
        return InvalidHandleValue();
    }
    auto* device = static_cast<PosixDevice*>(std::calloc(1, sizeof(PosixDevice)));
    if (device != nullptr) {
        device->pendingWrites = new (std::nothrow) std::deque<PendingWrite>();
        if (device->pendingWrites == nullptr) {
            std::free(device);
            device = nullptr;
        }
    }
    if (device == nullptr) {
        ioctl(fd, TIOCNXCL, 0);
        close(fd);
        lastError = kErrorGenFailure;
        return InvalidHandleValue();
    }
    device->magic = kDeviceMagic;
    device->fd = fd;
    device->comNumber = number;
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

Bool PosixGetCommState(Handle handle, Dcb* dcb) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    termios tio{};
    if (tcgetattr(device->fd, &tio) != 0) return FailErrno();
    *dcb = device->dcb;
    dcb->DCBlength = sizeof(Dcb);
    dcb->BaudRate = SpeedRate(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
        case CS5: dcb->ByteSize = 5; break;
        case CS6: dcb->ByteSize = 6; break;
        case CS7: dcb->ByteSize = 7; break;
        default: dcb->ByteSize = 8; break;
    }
    if ((tio.c_cflag & PARENB) == 0) {
        dcb->Parity = kNoParity;
    } else if (tio.c_cflag & CMSPAR) {
        dcb->Parity = (tio.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
    } else {
        dcb->Parity = (tio.c_cflag & PARODD) ? kOddParity : kEvenParity;
    }
    dcb->StopBits = (tio.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
    dcb->fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    dcb->fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb->XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    return 1;
}

void SetModemLine(int fd, int line, bool on) { ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line); }

Bool PosixSetCommState(Handle handle, Dcb* dcb) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    speed_t speed{};
    if (!SpeedCode(dcb->BaudRate, speed) || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > kSpaceParity ||
        (dcb->StopBits != kOneStopBit && dcb->StopBits != kTwoStopBits)) {
        return Fail(kErrorInvalidParameter);
    }
    termios tio{};
    if (tcgetattr(device->fd, &tio) != 0) return FailErrno();
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                          IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[dcb->ByteSize - 5];
    switch (dcb->Parity) {
        case kOddParity: tio.c_cflag |= PARENB | PARODD; break;
        case kEvenParity: tio.c_cflag |= PARENB; break;
        case kMarkParity: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case kSpaceParity: tio.c_cflag |= PARENB | CMSPAR; break;
        default: break;
    }
    // A pseudo-terminal keeps 8 data bits without parity, and refuses a request for
    // anything else that changes nothing more: it is asked only for what it carries,
    // so the same request gets the same answer on every open (a virtual COM port of
    // Windows accepts such settings the same way), and the trace says what was not
    // applied.
    if (device->pseudoTerminal && (dcb->ByteSize != 8 || dcb->Parity != kNoParity)) {
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR);
        tio.c_cflag |= CS8;
        Trace("COM%d: a pseudo-terminal carries 8 data bits without parity; %u data bits and %s parity not "
              "applied\n",
              device->comNumber, static_cast<unsigned>(dcb->ByteSize), ParityName(dcb->Parity));
    }
    if (dcb->fParity) tio.c_iflag |= INPCK;
    if (dcb->StopBits == kTwoStopBits) tio.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow) tio.c_cflag |= CRTSCTS;
    if (dcb->fOutX) tio.c_iflag |= IXON;
    if (dcb->fInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(device->fd, TCSANOW, &tio) != 0) return FailErrno();
    // A pseudo-terminal has no modem lines; the line settings stand all the same.
    SetModemLine(device->fd, TIOCM_DTR, dcb->fDtrControl != kDtrControlDisable);
    SetModemLine(device->fd, TIOCM_RTS, dcb->fRtsControl != kRtsControlDisable);
    device->dcb = *dcb;
    return 1;
}

Bool PosixGetCommTimeouts(Handle handle, CommTimeouts* timeouts) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    *timeouts = device->timeouts;
    return 1;
}

Bool PosixSetCommTimeouts(Handle handle, CommTimeouts* timeouts) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    device->timeouts = *timeouts;
    return 1;
}

Bool PosixGetCommMask(Handle handle, std::uint32_t* mask) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    *mask = device->eventMask;
    return 1;
}

Bool PosixSetCommMask(Handle handle, std::uint32_t mask) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    device->eventMask = mask;
    return 1;
}

// termios reports no framing, parity or overrun events without marking them in
// the data stream, so the error word is always 0 here.
Bool PosixClearCommError(Handle handle, std::uint32_t* errors, ComStat* stat) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    HandPendingWrites(device);
    int in = 0, out = 0;
    if (ioctl(device->fd, TIOCINQ, &in) != 0 || ioctl(device->fd, TIOCOUTQ, &out) != 0) return FailErrno();
    if (errors != nullptr) *errors = 0;
    if (stat != nullptr) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = static_cast<std::uint32_t>(in) + (device->haveLookahead ? 1u : 0u);
        // As on Windows, the bytes of pending writes are part of the transmit queue.
        stat->cbOutQue = static_cast<std::uint32_t>(out) + PendingBytes(device);
    }
    return 1;
}

std::uint32_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(now.tv_sec * 1000u + now.tv_nsec / 1000000);
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
    const std::uint32_t total = t.ReadTotalTimeoutConstant + t.ReadTotalTimeoutMultiplier * length;
    const std::uint32_t start = NowMs();
    while (got < length) {
        const ssize_t n = ::read(device->fd, bytes + got, length - got);
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
        const std::uint32_t elapsed = NowMs() - start;
        if (total != 0 && elapsed >= total) break;
        pollfd wait{device->fd, POLLIN, 0};
        poll(&wait, 1, total == 0 ? -1 : static_cast<int>(total - elapsed));
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
        const ssize_t n = ::write(device->fd, bytes + sent, length - sent);
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
        poll(&ready, 1, 100);
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
    if ((flags & kPurgeTxClear) && tcflush(device->fd, TCOFLUSH) != 0) return FailErrno();
    if (flags & (kPurgeRxAbort | kPurgeRxClear)) {
        device->haveLookahead = false;
        if (tcflush(device->fd, TCIFLUSH) != 0) return FailErrno();
    }
    return 1;
}

Bool ModemIoctl(PosixDevice* device, unsigned long request, int line) {
    return ioctl(device->fd, request, &line) == 0 ? 1 : FailErrno();
}

Bool PosixEscapeCommFunction(Handle handle, std::uint32_t function) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    switch (function) {
        case kSetDtr: return ModemIoctl(device, TIOCMBIS, TIOCM_DTR);
        case kClrDtr: return ModemIoctl(device, TIOCMBIC, TIOCM_DTR);
        case kSetRts: return ModemIoctl(device, TIOCMBIS, TIOCM_RTS);
        case kClrRts: return ModemIoctl(device, TIOCMBIC, TIOCM_RTS);
        case kSetBreak: return ioctl(device->fd, TIOCSBRK, 0) == 0 ? 1 : FailErrno();
        case kClrBreak: return ioctl(device->fd, TIOCCBRK, 0) == 0 ? 1 : FailErrno();
        case kSetXoff: return tcflow(device->fd, TCOOFF) == 0 ? 1 : FailErrno();
        case kSetXon: return tcflow(device->fd, TCOON) == 0 ? 1 : FailErrno();
        default: return Fail(kErrorInvalidParameter);
    }
}

Bool PosixSetCommBreak(Handle handle) { return PosixEscapeCommFunction(handle, kSetBreak); }
Bool PosixClearCommBreak(Handle handle) { return PosixEscapeCommFunction(handle, kClrBreak); }

Bool PosixGetCommModemStatus(Handle handle, std::uint32_t* modemStatus) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    int lines = 0;
    if (ioctl(device->fd, TIOCMGET, &lines) != 0) return FailErrno();
    std::uint32_t word = 0;
    if (lines & TIOCM_CTS) word |= kMsCtsOn;
    if (lines & TIOCM_DSR) word |= kMsDsrOn;
    if (lines & TIOCM_RNG) word |= kMsRingOn;
    if (lines & TIOCM_CAR) word |= kMsRlsdOn;
    *modemStatus = word;
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
            n = ::read(device->fd, &byte, 1);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno != EAGAIN) return FailErrno();
        if (n == 1) {
            device->lookahead = byte;
            device->haveLookahead = true;
        }
    }
    std::uint32_t copied = 0;
    if (device->haveLookahead && size > 0 && buffer != nullptr) {
        *static_cast<unsigned char*>(buffer) = device->lookahead;
        copied = 1;
    }
    int queued = 0;
    ioctl(device->fd, TIOCINQ, &queued);
    if (read != nullptr) *read = copied;
    if (available != nullptr) *available = static_cast<std::uint32_t>(queued) + (device->haveLookahead ? 1u : 0u);
    if (leftThisMessage != nullptr) *leftThisMessage = 0;
    return 1;
}

Bool PosixCloseHandle(Handle handle) {
    auto* event = static_cast<PosixEvent*>(handle);
    if (handle != nullptr && handle != InvalidHandleValue() && event->magic == kEventMagic) {
        event->magic = 0;
        std::free(event);
        return 1;
    }
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    CancelPendingWrites(device);  // closing the device ends what it still holds
    delete device->pendingWrites;
    ioctl(device->fd, TIOCNXCL, 0);  // a pseudo-terminal keeps the flag while its other side lives
    const int result = close(device->fd);
    const int error = errno;
    device->magic = 0;
    std::free(device);
    if (result != 0) return Fail(ErrorFromErrno(error));
    return 1;
}

Handle PosixCreateEventA(void*, Bool, Bool initialState, const char*) {
    auto* event = static_cast<PosixEvent*>(std::calloc(1, sizeof(PosixEvent)));
    if (event == nullptr) {
        lastError = kErrorGenFailure;
        return nullptr;
    }
    event->magic = kEventMagic;
    event->signaled = initialState != 0;
    return event;
}

Bool PosixCancelIo(Handle handle) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    CancelPendingWrites(device);
    return 1;
}

std::uint32_t PosixGetLastError() { return lastError; }

}  // namespace

SerialOps SerialDefaults() {
    return SerialOps{PosixCreateFileA,     PosixSetupComm,        PosixGetCommState,
                     PosixSetCommState,    PosixGetCommTimeouts,  PosixSetCommTimeouts,
                     PosixGetCommMask,     PosixSetCommMask,      PosixClearCommError,
                     PosixReadFile,        PosixWriteFile,        PosixGetOverlappedResult,
                     PosixPurgeComm,       PosixEscapeCommFunction, PosixSetCommBreak,
                     PosixClearCommBreak,  PosixGetCommModemStatus, PosixPeekNamedPipe,
                     PosixCloseHandle,     PosixGetLastError,     PosixCreateEventA,
                     PosixCancelIo};
}

std::string ComDeviceTarget(int number) {
    char path[4096];
    DevicePath(number, path, sizeof path);
    return path;
}

bool SerialDriverTakesRate(std::uint32_t rate) {
    speed_t code{};
    return SpeedCode(rate, code);
}

}  // namespace kestar::platform
