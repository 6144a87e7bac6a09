// COM ports on real pseudo-terminals, with a peer driven by the test.
//
// Linux: the test opens a pseudo-terminal itself and links $KESTAR_DEVICES/comN to
// it. Windows (under Wine): the test cannot make a pseudo-terminal, so a ctest
// fixture joins two with socat and links the prefix's dosdevices/com21 and com22
// to them ($KESTAR_SERIAL_PAIR names the two numbers); the test talks between them.
#include "platform/system.h"
#include "serial/com_driver.h"
#include "serial/port.h"
#include "support/terminal_device.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace kestar::serial {
namespace {

// Bytes written to a pseudo-terminal reach the other side a moment later.
bool WaitForReceived(Port* port, std::int32_t count) {
    for (int i = 0; i < 3000; ++i) {
        if (port->ops.RxCount(port) >= count) return true;
        platform::System().Sleep(1);
    }
    return false;
}

std::string ReadAll(Port* port, std::size_t length) {
    std::string text;
    char buffer[64];
    for (int i = 0; i < 3000 && text.size() < length; ++i) {
        if (port->ops.Read(port, buffer, sizeof buffer) == 0) {
            text.append(buffer, port->transferCount);
        } else {
            platform::System().Sleep(1);
        }
    }
    return text;
}

#if !defined(_WIN32)

class Pseudoterminal : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LivePorts(), nullptr);
        device.Open(7);
        master = device.master;
    }
    void TearDown() override {
        CloseAllPorts();
        device.master = master;
        device.Close();
    }
    std::string PeerRead(std::size_t length) {
        std::string text;
        char buffer[256];
        while (text.size() < length) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 3000) <= 0) break;
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }
    void PeerWrite(const std::string& text) {
        ASSERT_EQ(write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    testing::TerminalDevice device;
    int master = -1;
};

TEST_F(Pseudoterminal, BytesMoveBothWays) {
    Port* port = CreateComPort(6, 9600, 'N', 8, 1);
    ASSERT_EQ(port->status, 0) << StatusMessage(port->status);
    ASSERT_EQ(port->ops.Write(port, "ping\x00\xff", 6), 0);
    EXPECT_EQ(PeerRead(6), std::string("ping\x00\xff", 6));
    PeerWrite(std::string("pong\r\n\x00\x80", 8));
    ASSERT_TRUE(WaitForReceived(port, 8));
    EXPECT_EQ(port->ops.RxCount(port), 8);
    EXPECT_EQ(port->ops.GetChar(port), 'p');
    EXPECT_EQ(ReadAll(port, 7), std::string("ong\r\n\x00\x80", 7));
    EXPECT_EQ(port->ops.GetChar(port), kBufferEmpty);
    EXPECT_EQ(port->ops.Close(port), 0);
}

TEST_F(Pseudoterminal, LineSettingsReachTheTerminal) {
    Port* port = CreateComPort(6, 19200, 'e', 7, 2);
    ASSERT_EQ(port->status, 0) << StatusMessage(port->status);
    termios tio{};
    ASSERT_EQ(tcgetattr(master, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    // A pseudo-terminal always keeps 8 data bits without parity, so only the
    // speed, the stop bits and the raw mode can be seen here.
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
    port->ops.XonXoffHandshake(port, 1);
    ASSERT_EQ(tcgetattr(master, &tio), 0);
    EXPECT_NE(tio.c_iflag & IXON, 0u);
    EXPECT_NE(tio.c_iflag & IXOFF, 0u);
}

// A pseudo-terminal carries 8 data bits without parity whatever is asked. The same
// request on the same device gets the same answer every time, the first open and
// every later one alike (a host may start up again): accepted, with one trace line
// naming what the terminal could not apply.
TEST_F(Pseudoterminal, SettingsTheTerminalCannotCarryAreAcceptedTheSameEveryTimeWithOneTraceLine) {
    struct Case {
        std::int32_t rate;
        char parity;
        std::uint8_t dataBits;
        std::int32_t stopBits;
        bool notApplied;
    };
    const Case cases[] = {{19200, 'E', 7, 1, true}, {19200, 'E', 7, 1, true}, {9600, 'N', 8, 1, false},
                          {9600, 'O', 8, 2, true},  {9600, 'N', 7, 1, true},  {4800, 'M', 8, 1, true},
                          {4800, 'S', 6, 1, true},  {4800, 'N', 8, 2, false}};
    for (const Case& c : cases) {
        for (int open = 1; open <= 3; ++open) {
            kestar::testing::ScopedTraceCapture trace;
            Port* port = CreateComPort(6, c.rate, c.parity, c.dataBits, c.stopBits);
            const std::string what = std::to_string(c.rate) + " " + c.parity + " " + std::to_string(c.dataBits) +
                                     " " + std::to_string(c.stopBits) + ", open " + std::to_string(open);
            EXPECT_EQ(port->status, 0) << what << ": " << StatusMessage(port->status);
            const std::string text = trace.text();
            std::size_t lines = 0;
            for (std::size_t at = text.find("not applied"); at != std::string::npos;
                 at = text.find("not applied", at + 1)) {
                ++lines;
            }
            EXPECT_EQ(lines, c.notApplied ? 1u : 0u) << what << ": " << text;
            EXPECT_EQ(port->ops.Close(port), 0) << what;
        }
    }
}

TEST_F(Pseudoterminal, RatesTheTerminalCannotTakeAreRefusedByTheDevice) {
    Port* port = CreateComPort(6, 128000, 'N', 8, 1);
    EXPECT_EQ(port->status, kGeneralError);
    port->ops.ClearStatus(port);
    EXPECT_EQ(port->ops.SetLine(port, 38400, 'N', 8, 1), 0);
}

TEST_F(Pseudoterminal, MissingComNumberGivesNo8250) {
    Port* port = CreateComPort(38, 9600, 'N', 8, 1);
    EXPECT_EQ(port->status, kNo8250);
    device.Link(8, "/nonexistent/kestar-device");
    EXPECT_EQ(CreateComPort(7, 9600, 'N', 8, 1)->status, kNo8250);
}

TEST_F(Pseudoterminal, SecondOpenOfTheSamePortIsRefusedAndReopenAfterCloseWorks) {
    Port* first = CreateComPort(6, 9600, 'N', 8, 1);
    ASSERT_EQ(first->status, 0);
    Port* second = CreateComPort(6, 9600, 'N', 8, 1);
    EXPECT_EQ(second->status, kPortInUse);
    EXPECT_STREQ(StatusMessage(second->status), "Port in Use");
    second->ops.Close(second);
    EXPECT_EQ(first->ops.Close(first), 0);
    Port* again = CreateComPort(6, 9600, 'N', 8, 1);
    EXPECT_EQ(again->status, 0);
}

TEST_F(Pseudoterminal, PeekCharTakesOneByteAndShowsTheNextWithoutTakingIt) {
    Port* port = CreateComPort(6, 9600, 'N', 8, 1);
    ASSERT_EQ(port->status, 0);
    PeerWrite("A\xC8");
    ASSERT_TRUE(WaitForReceived(port, 2));
    EXPECT_EQ(port->ops.PeekChar(port), -56);
    EXPECT_EQ(port->ops.RxCount(port), 1);
    EXPECT_EQ(port->ops.GetChar(port), 0xC8);
    PeerWrite("Z");
    ASSERT_TRUE(WaitForReceived(port, 1));
    EXPECT_EQ(port->ops.PeekChar(port), 'Z');  // nothing behind it: the byte taken
    EXPECT_EQ(port->ops.GetChar(port), kBufferEmpty);
}

TEST_F(Pseudoterminal, StatusOperationsAnswerOnATerminalWithoutModemLines) {
    Port* port = CreateComPort(6, 9600, 'N', 8, 1);
    ASSERT_EQ(port->status, 0);
    EXPECT_EQ(port->ops.ModemStatus(port), 0);
    EXPECT_EQ(port->ops.LineStatus(port), 0);
    EXPECT_EQ(port->ops.TxFree(port), 1050);
    EXPECT_EQ(port->ops.PurgeTx(port), 0);
    EXPECT_EQ(port->ops.SendBreak(port, 0), 0);
    EXPECT_EQ(port->ops.SetDtr(port, 0), 0);
    EXPECT_EQ(port->status, 0);
}

TEST_F(Pseudoterminal, PeerThatHangsUpLeavesEveryOperationAnswering) {
    Port* port = CreateComPort(6, 9600, 'N', 8, 1);
    ASSERT_EQ(port->status, 0);
    close(master);
    master = open("/dev/null", O_RDONLY);  // TearDown closes something harmless
    unsigned char buffer[4];
    EXPECT_LE(port->ops.Read(port, buffer, 4), 0);
    EXPECT_LE(port->ops.Write(port, "x", 1), 0);
    port->ops.GetChar(port);
    port->ops.PeekChar(port);
    port->ops.RxCount(port);
    port->ops.Dump(port, [](const char*) {});
    EXPECT_EQ(port->ops.Close(port), 0);
}

#else  // Windows, under Wine

class WinePair : public ::testing::Test {
protected:
    void SetUp() override {
        const char* pair = std::getenv("KESTAR_SERIAL_PAIR");
        if (pair == nullptr) GTEST_SKIP() << "KESTAR_SERIAL_PAIR not set (ctest's pseudo-terminal fixture sets it)";
        ASSERT_EQ(std::sscanf(pair, "%d:%d", &first, &second), 2);
    }
    void TearDown() override { CloseAllPorts(); }
    int first = 0, second = 0;
};

TEST_F(WinePair, BytesMoveBothWaysBetweenLinkedComPorts) {
    Port* a = CreateComPort(first - 1, 9600, 'N', 8, 1);
    Port* b = CreateComPort(second - 1, 9600, 'N', 8, 1);
    ASSERT_EQ(a->status, 0) << StatusMessage(a->status);
    ASSERT_EQ(b->status, 0) << StatusMessage(b->status);
    ASSERT_EQ(a->ops.Write(a, "ping\x00\xff", 6), 0);
    ASSERT_TRUE(WaitForReceived(b, 6));
    EXPECT_EQ(ReadAll(b, 6), std::string("ping\x00\xff", 6));
    ASSERT_EQ(b->ops.Write(b, "pong", 4), 0);
    ASSERT_TRUE(WaitForReceived(a, 4));
    EXPECT_EQ(a->ops.GetChar(a), 'p');
    EXPECT_EQ(ReadAll(a, 3), "ong");
    EXPECT_EQ(a->ops.GetChar(a), kBufferEmpty);
    // Wine answers the modem-line calls on a pseudo-terminal with "not supported".
    EXPECT_EQ(a->ops.ModemStatus(a), 0);
    EXPECT_EQ(a->ops.Close(a), 0);
    EXPECT_EQ(b->ops.Close(b), 0);
}

TEST_F(WinePair, ComNumberWithoutALinkGivesNo8250) {
    EXPECT_EQ(CreateComPort(38, 9600, 'N', 8, 1)->status, kNo8250);
}

// Wine does not refuse a second open of a COM device (Windows answers error 5), so
// only the reopen after Close is checked here; the refusal is tested on Linux.
TEST_F(WinePair, PortOpensAgainAfterClose) {
    Port* a = CreateComPort(first - 1, 9600, 'N', 8, 1);
    ASSERT_EQ(a->status, 0);
    EXPECT_EQ(a->ops.Close(a), 0);
    Port* again = CreateComPort(first - 1, 9600, 'N', 8, 1);
    EXPECT_EQ(again->status, 0);
}

#endif

}  // namespace
}  // namespace kestar::serial
