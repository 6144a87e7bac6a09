#include "platform/posix/termios_translation.h"

#include <climits>

namespace kestar::platform {
namespace {

struct Speed {
    std::uint32_t rate;
    speed_t code;
};

constexpr Speed kSpeeds[] = {{50, B50},       {75, B75},       {110, B110},     {134, B134},
                             {150, B150},     {200, B200},     {300, B300},     {600, B600},
                             {1200, B1200},   {1800, B1800},   {2400, B2400},   {4800, B4800},
                             {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600},
                             {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};

// Data sizes 5 to 8, by ByteSize - 5.
constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};

// The c_cflag bits of each parity, by the block's parity value.
constexpr tcflag_t kParityFlags[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD, PARENB | CMSPAR};

constexpr tcflag_t kLineFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

}  // namespace

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

bool TermiosCarries(const Dcb& dcb) {
    speed_t code{};
    return SpeedCode(dcb.BaudRate, code) && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= kSpaceParity &&
           (dcb.StopBits == kOneStopBit || dcb.StopBits == kTwoStopBits);
}

void DcbToTermios(const Dcb& dcb, bool eightBitsOnly, termios& tio) {
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                          IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~kLineFlags;
    tio.c_cflag |= CLOCAL | CREAD;
    if (eightBitsOnly) {
        tio.c_cflag |= CS8;
    } else {
        tio.c_cflag |= kSizes[dcb.ByteSize - 5] | kParityFlags[dcb.Parity];
    }
    if (dcb.fParity) tio.c_iflag |= INPCK;
    if (dcb.StopBits == kTwoStopBits) tio.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow) tio.c_cflag |= CRTSCTS;
    if (dcb.fOutX) tio.c_iflag |= IXON;
    if (dcb.fInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    speed_t speed = B9600;
    SpeedCode(dcb.BaudRate, speed);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
}

void TermiosToDcb(const termios& tio, Dcb& dcb) {
    dcb.DCBlength = sizeof(Dcb);
    dcb.BaudRate = SpeedRate(cfgetospeed(&tio));
    dcb.ByteSize = 8;
    for (std::uint8_t n = 0; n < 4; ++n) {
        if ((tio.c_cflag & CSIZE) == kSizes[n]) dcb.ByteSize = static_cast<std::uint8_t>(5 + n);
    }
    dcb.Parity = kNoParity;
    if (tio.c_cflag & PARENB) {
        const tcflag_t parity = tio.c_cflag & (PARENB | PARODD | CMSPAR);
        for (std::uint8_t p = kOddParity; p <= kSpaceParity; ++p) {
            if (parity == kParityFlags[p]) dcb.Parity = p;
        }
    }
    dcb.StopBits = (tio.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
    dcb.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
}

const char* ParityName(std::uint8_t parity) {
    static constexpr const char* kNames[] = {"no", "odd", "even", "mark", "space"};
    return parity <= kSpaceParity ? kNames[parity] : "unknown";
}

std::uint64_t ReadTotalTimeout(const CommTimeouts& t, std::uint32_t length) {
    return std::uint64_t{t.ReadTotalTimeoutConstant} + std::uint64_t{t.ReadTotalTimeoutMultiplier} * length;
}

int PollWaitMs(std::uint64_t total, std::uint64_t elapsed) {
    if (total == 0) return -1;
    if (elapsed >= total) return 0;
    const std::uint64_t rest = total - elapsed;
    return rest > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(rest);
}

}  // namespace kestar::platform
