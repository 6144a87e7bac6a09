// The line settings, timeouts, event mask and modem lines of the POSIX serial
// stand-in: termios through termios_translation, the rest kept in the device record.
#include "platform/posix/serial_posix_lines.h"

#include "platform/debug_trace.h"
#include "platform/posix/posix_calls.h"
#include "platform/posix/serial_posix_device.h"
#include "platform/posix/termios_translation.h"

#include <sys/ioctl.h>

namespace kestar::platform {
namespace {

Bool PosixGetCommState(Handle handle, Dcb* dcb) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    termios tio{};
    if (Posix().tcgetattr(device->fd, &tio) != 0) return FailErrno();
    *dcb = device->dcb;
    TermiosToDcb(tio, *dcb);
    return 1;
}

void SetModemLine(int fd, int line, bool on) { DeviceIoctl(fd, on ? TIOCMBIS : TIOCMBIC, &line); }

Bool PosixSetCommState(Handle handle, Dcb* dcb) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    if (!TermiosCarries(*dcb)) return Fail(kErrorInvalidParameter);
    termios tio{};
    if (Posix().tcgetattr(device->fd, &tio) != 0) return FailErrno();
    // A pseudo-terminal keeps 8 data bits without parity, and refuses a request for
    // anything else that changes nothing more: it is asked only for what it carries,
    // so the same request gets the same answer on every open (a virtual COM port of
    // Windows accepts such settings the same way), and the trace says what was not
    // applied.
    const bool eightBitsOnly = device->pseudoTerminal && (dcb->ByteSize != 8 || dcb->Parity != kNoParity);
    if (eightBitsOnly) {
        Trace("COM%d: a pseudo-terminal carries 8 data bits without parity; %u data bits and %s parity not "
              "applied\n",
              device->comNumber, static_cast<unsigned>(dcb->ByteSize), ParityName(dcb->Parity));
    }
    DcbToTermios(*dcb, eightBitsOnly, tio);
    if (Posix().tcsetattr(device->fd, TCSANOW, &tio) != 0) return FailErrno();
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

Bool ModemDeviceIoctl(PosixDevice* device, unsigned long request, int line) {
    return Succeeded(DeviceIoctl(device->fd, request, &line));
}

Bool PosixEscapeCommFunction(Handle handle, std::uint32_t function) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    switch (function) {
        case kSetDtr: return ModemDeviceIoctl(device, TIOCMBIS, TIOCM_DTR);
        case kClrDtr: return ModemDeviceIoctl(device, TIOCMBIC, TIOCM_DTR);
        case kSetRts: return ModemDeviceIoctl(device, TIOCMBIS, TIOCM_RTS);
        case kClrRts: return ModemDeviceIoctl(device, TIOCMBIC, TIOCM_RTS);
        case kSetBreak: return Succeeded(DeviceIoctl(device->fd, TIOCSBRK));
        case kClrBreak: return Succeeded(DeviceIoctl(device->fd, TIOCCBRK));
        case kSetXoff: return Succeeded(Posix().tcflow(device->fd, TCOOFF));
        case kSetXon: return Succeeded(Posix().tcflow(device->fd, TCOON));
        default: return Fail(kErrorInvalidParameter);
    }
}

Bool PosixSetCommBreak(Handle handle) { return PosixEscapeCommFunction(handle, kSetBreak); }
Bool PosixClearCommBreak(Handle handle) { return PosixEscapeCommFunction(handle, kClrBreak); }

Bool PosixGetCommModemStatus(Handle handle, std::uint32_t* modemStatus) {
    PosixDevice* device = Device(handle);
    if (device == nullptr) return 0;
    int lines = 0;
    if (DeviceIoctl(device->fd, TIOCMGET, &lines) != 0) return FailErrno();
    std::uint32_t word = 0;
    if (lines & TIOCM_CTS) word |= kMsCtsOn;
    if (lines & TIOCM_DSR) word |= kMsDsrOn;
    if (lines & TIOCM_RNG) word |= kMsRingOn;
    if (lines & TIOCM_CAR) word |= kMsRlsdOn;
    *modemStatus = word;
    return 1;
}

}  // namespace

void FillLineOps(SerialOps& ops) {
    ops.GetCommState = PosixGetCommState;
    ops.SetCommState = PosixSetCommState;
    ops.GetCommTimeouts = PosixGetCommTimeouts;
    ops.SetCommTimeouts = PosixSetCommTimeouts;
    ops.GetCommMask = PosixGetCommMask;
    ops.SetCommMask = PosixSetCommMask;
    ops.EscapeCommFunction = PosixEscapeCommFunction;
    ops.SetCommBreak = PosixSetCommBreak;
    ops.ClearCommBreak = PosixClearCommBreak;
    ops.GetCommModemStatus = PosixGetCommModemStatus;
}

bool SerialDriverTakesRate(std::uint32_t rate) {
    speed_t code{};
    return SpeedCode(rate, code);
}

}  // namespace kestar::platform
