// The POSIX stand-ins from below: the termios translation from tables, without a
// device, and the serial stand-in over a pseudo-terminal with single system calls
// failed through the stand-ins' call table.
#if !defined(_WIN32)
#include "platform/posix/posix_calls.h"
#include "platform/posix/posix_errors.h"
#include "platform/posix/termios_translation.h"
#include "platform/serial.h"
#include "support/terminal_device.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <sys/ioctl.h>
#include <vector>

namespace kestar::platform {
namespace {

Dcb Line(std::uint32_t rate, std::uint8_t size, std::uint8_t parity, std::uint8_t stop, int handshake) {
    Dcb dcb{};
    dcb.BaudRate = rate;
    dcb.ByteSize = size;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.fOutxCtsFlow = handshake & 1;
    dcb.fOutX = (handshake >> 1) & 1;
    dcb.fInX = (handshake >> 2) & 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

TEST(TermiosTranslation, EverySizeParityStopBitAndHandshakeGoesThereAndBack) {
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    const tcflag_t parities[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR, PARENB | CMSPAR};
    for (std::uint8_t size = 5; size <= 8; ++size)
        for (std::uint8_t parity = kNoParity; parity <= kSpaceParity; ++parity)
            for (std::uint8_t stop : {kOneStopBit, kTwoStopBits})
                for (int handshake = 0; handshake < 8; ++handshake) {
                    const Dcb dcb = Line(19200, size, parity, stop, handshake);
                    termios tio{};
                    tio.c_lflag = ICANON | ECHO;
                    tio.c_cflag = CRTSCTS;
                    ASSERT_TRUE(TermiosCarries(dcb));
                    DcbToTermios(dcb, false, tio);
                    SCOPED_TRACE(std::to_string(size) + " bits, parity " + ParityName(parity));
                    EXPECT_EQ(tio.c_cflag & CSIZE, sizes[size - 5]);
                    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), parities[parity]);
                    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, stop == kTwoStopBits);
                    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
                    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B19200));
                    Dcb back{};
                    back.BaudRate = 1;  // a sentinel: what the translation does not set shows
                    TermiosToDcb(tio, back);
                    EXPECT_EQ(back.BaudRate, 19200u);
                    EXPECT_EQ(back.ByteSize, size);
                    EXPECT_EQ(back.Parity, parity);
                    EXPECT_EQ(back.StopBits, stop);
                    EXPECT_EQ(back.fOutxCtsFlow + 2 * back.fOutX + 4 * back.fInX, static_cast<unsigned>(handshake));
                    EXPECT_EQ(back.XonChar, 0x11);
                    EXPECT_EQ(back.XoffChar, 0x13);
                }
}

TEST(TermiosTranslation, EightBitsOnlyAsksForEightBitsWithoutParityAndRefusesWhatTermiosCannotCarry) {
    termios tio{};
    DcbToTermios(Line(9600, 7, kEvenParity, kTwoStopBits, 0), true, tio);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    for (const Dcb& refused : {Line(12345, 8, 0, 0, 0), Line(9600, 4, 0, 0, 0), Line(9600, 9, 0, 0, 0),
                               Line(9600, 8, 5, 0, 0), Line(9600, 8, 0, kOne5StopBits, 0)}) {
        EXPECT_FALSE(TermiosCarries(refused));
    }
    speed_t code{};
    for (std::uint32_t rate : {50u, 9600u, 921600u}) {
        ASSERT_TRUE(SpeedCode(rate, code));
        EXPECT_EQ(SpeedRate(code), rate);
    }
    EXPECT_EQ(SpeedRate(static_cast<speed_t>(0x7FFF)), 0u);
}

TEST(TermiosTranslation, ReadTimeoutsNeitherWrapNorTurnIntoAWaitWithoutEnd) {
    const CommTimeouts large{0, 0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0};
    EXPECT_EQ(ReadTotalTimeout(large, 2), 0xFFFFFFFFull * 3);
    EXPECT_EQ(ReadTotalTimeout(CommTimeouts{0, 10, 5, 0, 0}, 3), 35u);
    EXPECT_EQ(PollWaitMs(0, 0), -1);
    EXPECT_EQ(PollWaitMs(3000000000ull, 0), INT_MAX);
    EXPECT_EQ(PollWaitMs(100, 40), 60);
    EXPECT_EQ(PollWaitMs(100, 140), 0);
}

TEST(PosixErrors, EachErrnoHasTheWindowsErrorOfItsKind) {
    const std::pair<int, std::uint32_t> cases[] = {
        {ENOENT, kErrorFileNotFound}, {EACCES, kErrorAccessDenied},     {EWOULDBLOCK, kErrorAccessDenied},
        {EBADF, kErrorInvalidHandle}, {ENOTTY, kErrorNotSupported},     {EINVAL, kErrorInvalidParameter},
        {EIO, kErrorDeviceNotConnected}, {ENOSPC, kErrorGenFailure}};
    for (const auto& [error, windows] : cases) EXPECT_EQ(ErrorFromErrno(error), windows) << error;
}

// One system call of the stand-in failed with errno; every other passes through.
int failedErrno = 0;
unsigned long failedRequest = 0;
int IoctlFails(int fd, unsigned long request, void* argument) {
    if (request != failedRequest) return PosixDefaults().ioctl(fd, request, argument);
    errno = failedErrno;
    return -1;
}
template <typename... A>
int CallFails(A...) {
    errno = failedErrno;
    return -1;
}

class SerialStandIn : public ::testing::Test {
protected:
    void SetUp() override { device.Open(9); }
    void TearDown() override { device.Close(); }
    Handle Open() { return SerialDefaults().CreateFileA("\\\\.\\COM9", 0, 0, nullptr, 0, 0, nullptr); }
    // Opened raw at 9600 8N1, with "AB" sent by the device and arrived.
    Handle OpenWithAB() {
        const Handle port = Open();
        Dcb raw = Line(9600, 8, kNoParity, kOneStopBit, 0);
        if (port == InvalidHandleValue() || serial.SetCommState(port, &raw) != 1 || write(device.master, "AB", 2) != 2) {
            return InvalidHandleValue();
        }
        usleep(20000);
        return port;
    }
    testing::TerminalDevice device;
    SerialOps serial = SerialDefaults();
};

TEST_F(SerialStandIn, FailedSystemCallsGiveTheWindowsErrorAndLeaveNothingOpen) {
    struct Case {
        const char* name;
        void (*fail)(PosixCalls&);
        int error;
        std::uint32_t expected;
    };
    const Case opens[] = {
        {"open", [](PosixCalls& c) { c.open = CallFails<const char*, int, mode_t>; }, EACCES, kErrorAccessDenied},
        {"flock", [](PosixCalls& c) { c.flock = CallFails<int, int>; }, EWOULDBLOCK, kErrorAccessDenied},
        {"TIOCEXCL", [](PosixCalls& c) { c.ioctl = IoctlFails, failedRequest = TIOCEXCL; }, EBUSY, kErrorAccessDenied},
        {"isatty", [](PosixCalls& c) { c.isatty = [](int) { return 0; }; }, ENOTTY, kErrorFileNotFound},
    };
    for (const Case& c : opens) {
        PosixCalls calls = PosixDefaults();
        c.fail(calls);
        failedErrno = c.error;
        ScopedPosixCalls failing(calls);
        EXPECT_EQ(Open(), InvalidHandleValue()) << c.name;
        EXPECT_EQ(serial.GetLastError(), c.expected) << c.name;
    }
    const Handle port = Open();  // nothing of the failed opens holds the device
    ASSERT_NE(port, InvalidHandleValue());
    Dcb dcb{};
    {
        PosixCalls calls = PosixDefaults();
        calls.tcgetattr = CallFails<int, termios*>;
        failedErrno = EIO;
        ScopedPosixCalls failing(calls);
        EXPECT_EQ(serial.GetCommState(port, &dcb), 0);
        EXPECT_EQ(serial.GetLastError(), kErrorDeviceNotConnected);
    }
    EXPECT_EQ(serial.GetCommState(port, &dcb), 1);
    EXPECT_EQ(serial.CloseHandle(port), 1);
}

TEST_F(SerialStandIn, PeekFailsWhenTheTerminalGivesNoQueueCountAndKeepsTheByteItTook) {
    const Handle port = OpenWithAB();
    ASSERT_NE(port, InvalidHandleValue());
    PosixCalls calls = PosixDefaults();
    calls.ioctl = IoctlFails;
    failedRequest = TIOCINQ;
    failedErrno = EIO;
    char byte = 0;
    std::uint32_t read = 0, available = 0;
    {
        ScopedPosixCalls failing(calls);
        EXPECT_EQ(serial.PeekNamedPipe(port, &byte, 1, &read, &available, nullptr), 0);
        EXPECT_EQ(serial.GetLastError(), kErrorDeviceNotConnected);
    }
    char text[3] = {};
    EXPECT_EQ(serial.ReadFile(port, text, 2, &read, nullptr), 1);
    EXPECT_STREQ(text, "AB");
    EXPECT_EQ(serial.CloseHandle(port), 1);
}

std::vector<unsigned long> requestsMade;
int RecordingIoctl(int fd, unsigned long request, void* argument) {
    requestsMade.push_back(request);
    return PosixDefaults().ioctl(fd, request, argument);
}

TEST_F(SerialStandIn, ClearCommErrorForAsksTheTerminalOnlyForTheCountsAskedFor) {
    const Handle port = OpenWithAB();
    ASSERT_NE(port, InvalidHandleValue());
    struct Case {
        std::uint32_t queues;
        std::vector<unsigned long> requests;
        std::uint32_t inQueue;
    };
    const Case cases[] = {{kInQueue, {TIOCINQ}, 2}, {kOutQueue, {TIOCOUTQ}, 0}, {kBothQueues, {TIOCINQ, TIOCOUTQ}, 2}};
    PosixCalls calls = PosixDefaults();
    calls.ioctl = RecordingIoctl;
    for (const Case& c : cases) {
        requestsMade.clear();
        ScopedPosixCalls recording(calls);
        ComStat stat{};
        std::uint32_t errors = 1;
        EXPECT_EQ(serial.ClearCommErrorFor(port, c.queues, &errors, &stat), 1) << c.queues;
        EXPECT_EQ(requestsMade, c.requests) << c.queues;
        EXPECT_EQ(stat.cbInQue, c.inQueue) << c.queues;
        EXPECT_EQ(stat.cbOutQue, 0u) << c.queues;
        EXPECT_EQ(errors, 0u) << c.queues;
    }
    EXPECT_EQ(serial.CloseHandle(port), 1);
}

TEST_F(SerialStandIn, AHandleThatOutlivedItsCloseIsAnInvalidHandle) {
    const Handle port = Open();
    ASSERT_NE(port, InvalidHandleValue());
    ASSERT_EQ(serial.CloseHandle(port), 1);
    Dcb dcb{};
    EXPECT_EQ(serial.GetCommState(port, &dcb), 0);
    EXPECT_EQ(serial.GetLastError(), kErrorInvalidHandle);
    EXPECT_EQ(serial.CloseHandle(port), 0);
    const Handle event = serial.CreateEventA(nullptr, 1, 0, nullptr);
    ASSERT_EQ(serial.CloseHandle(event), 1);
    EXPECT_EQ(serial.CloseHandle(event), 0) << "an event closed before";
    EXPECT_EQ(serial.GetLastError(), kErrorInvalidHandle);
    int onStack = 0;
    EXPECT_EQ(serial.SetCommMask(&onStack, 0), 0);  // no record of the stand-in's at all
    EXPECT_EQ(serial.GetLastError(), kErrorInvalidHandle);
}

}  // namespace
}  // namespace kestar::platform
#endif
