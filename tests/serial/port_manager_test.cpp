// The port manager over the simulated UART: port lines, role slots, failures in
// the interface block, line reads with the pending line, and string writes.
#include "fakes/fake_uart.h"
#include "log/interface_log.h"
#include "serial/port_manager.h"
#include "settings/install_directory.h"
#include "settings/settings_file.h"
#include "support/scratch_folder.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace kestar::testing {
namespace {

int LivePortCount() {
    int count = 0;
    for (serial::Port* port = serial::LivePorts(); port != nullptr; port = port->next) ++count;
    return count;
}

// Counts GetChar polls of a slot's port.
int polls = 0;
std::int32_t (*realGetChar)(serial::Port*) = nullptr;
std::int32_t CountingGetChar(serial::Port* port) {
    ++polls;
    return realGetChar(port);
}

class PortManager : public ::testing::Test {
protected:
    HostRecords records;
    ScopedStoredBlock stored{&records.block()};
    ScratchFolder install;
    FakeUart uart;
    ScopedTraceCapture trace;
    std::string savedDirectory = installDirectory;

    void SetUp() override {
        installDirectory = install.path();
        SetLogFolder(installDirectory);
        ASSERT_TRUE(MakeFolder(install.Join("tolvo")));
        SetReadRetryLimit(20000);
        pendingLine.length = 0;
        settingsEcho = 0;
    }
    void TearDown() override {
        ClosePortSlots();
        CloseLog();
        serial::CloseAllPorts();
        installDirectory = savedDirectory;
        SetLogFolder(installDirectory);
    }
    void WriteSettings(const std::vector<std::string>& lines) {
        std::string text = "[Parameters]\r\n";
        for (const std::string& line : lines) text += line + "\r\n";
        ASSERT_TRUE(WriteFileBytes(SettingsFilePath(), text));
    }
    InterfaceBlock& block() { return records.block(); }
    std::string LogText() {
        CloseLog();
        return ReadFileBytes(LogFilePath());
    }
    // Opens slot 0 on COM2 with a working device.
    void OpenController() {
        uart.Device(2);
        ASSERT_EQ(OpenPortSlot(0, "Controller 2 9600 N 8 1"), 1);
    }
    void Receive(int com, const std::string& bytes) {
        for (unsigned char c : bytes) uart.Device(com).received.push_back(c);
    }
};

TEST_F(PortManager, SixLinesOpenTheirPortsAndSetTheRoleSlots) {
    for (int com = 2; com <= 4; ++com) uart.Device(com);
    WriteSettings({"PORT1=Controller 2 9600 N 8 1", "PORT2=Probe 3 19200 E 7 2", "PORT3=DRO -1",
                   "PORT4=Printer 4 9600 N 8 1", "PORT5=probe 4 9600 N 8 1", "PORT6=Sensor 4 4800 o 8 1"});
    ASSERT_EQ(OpenPortSlots(), 1);
    EXPECT_EQ(block().controllerPort, 0);
    EXPECT_EQ(block().probePort, 1);
    EXPECT_EQ(block().sensorPort, 5);
    EXPECT_EQ(block().droPort, -1) << "a negative COM number sets no role";
    EXPECT_EQ(block().handboxPort, -1);
    EXPECT_EQ(portTable[0].comNumber, 2);
    EXPECT_EQ(portTable[2].comNumber, -1);
    EXPECT_EQ(portTable[3].comNumber, -1) << "an unknown role opens nothing";
    EXPECT_EQ(portTable[4].comNumber, -1) << "role names are case-sensitive";
    EXPECT_EQ(LivePortCount(), 3);
    EXPECT_NE(trace.text().find("Open Controller at COM2 9600 N 8 1\n"), std::string::npos);
    EXPECT_NE(trace.text().find("Open Probe at COM3 19200 E 7 2\n"), std::string::npos);
    EXPECT_EQ(uart.Device(3).lastDcb.Parity, 2);
    EXPECT_EQ(uart.Device(3).lastDcb.StopBits, 2);
}

TEST_F(PortManager, MissingKeyEndsTheReadingAndKeepsEarlierPortsOpen) {
    for (int com = 2; com <= 6; ++com) uart.Device(com);
    WriteSettings({"PORT1=Controller 2", "PORT2=Probe 3", "PORT3=DRO 4", "PORT4=Handbox 5", "PORT5=Host 6"});
    EXPECT_EQ(OpenPortSlots(), 0);
    EXPECT_EQ(LivePortCount(), 5);
    EXPECT_EQ(portTable[4].comNumber, 6);
    const std::string log = LogText();
    EXPECT_NE(log.find("Cannot find 'PORT6' in '" + SettingsFilePath() + "'"), std::string::npos);
}

TEST_F(PortManager, WithoutPort1NothingOpensAndNoOtherKeyIsRead) {
    WriteSettings({"PORT2=Controller 2"});
    settingsEcho = 1;
    EXPECT_EQ(OpenPortSlots(), 0);
    EXPECT_EQ(LivePortCount(), 0);
    const std::string log = LogText();
    EXPECT_NE(log.find("Cannot find 'PORT1'"), std::string::npos);
    EXPECT_EQ(log.find("PORT2"), std::string::npos);
}

TEST_F(PortManager, ShortLineAsksForNinetySixHundredEightDataBitsOneStopBit) {
    uart.Device(2);
    ASSERT_EQ(OpenPortSlot(0, "Controller 2"), 1);
    const platform::Dcb& dcb = uart.Device(2).lastDcb;
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, 0);
    EXPECT_EQ(dcb.Parity, 0) << "a missing parity letter asks for no parity";
    EXPECT_NE(trace.text().find("Open Controller at COM2 9600 N 8 1\n"), std::string::npos);
}

TEST_F(PortManager, SameRoleTwiceGivesTheLaterSlotAndOpensBoth) {
    uart.Device(2);
    uart.Device(3);
    EXPECT_EQ(OpenPortSlot(0, "Probe 2 9600 N 8 1"), 1);
    EXPECT_EQ(OpenPortSlot(3, "Probe 3 9600 N 8 1"), 1);
    EXPECT_EQ(block().probePort, 3);
    EXPECT_EQ(LivePortCount(), 2);
    EXPECT_EQ(OpenPortSlot(6, "Probe 3 9600 N 8 1"), kSlotPassedOver) << "a slot outside 0 to 5 is passed over";
    EXPECT_EQ(block().probePort, 3);
}

TEST_F(PortManager, RefusedSettingIsTracedReportedAndEndsTheReading) {
    uart.Device(2);
    uart.Device(3);
    WriteSettings({"PORT1=Probe 2 9600 X 8 1", "PORT2=Controller 3"});
    EXPECT_EQ(OpenPortSlots(), 0);
    EXPECT_EQ(block().errorCode, -26);
    EXPECT_STREQ(block().errorText, "Illegal Parity");
    EXPECT_EQ(block().probePort, 0) << "the role slot stays set";
    EXPECT_NE(trace.text().find("CANNOT Open Probe at COM2 9600 X 8 1\n"), std::string::npos);
    EXPECT_FALSE(uart.Device(3).open) << "no later key is read";
    EXPECT_EQ(OpenPortSlot(1, "Sensor 3 9600 N 8 3"), 0);
    EXPECT_EQ(block().errorCode, -28);
    EXPECT_STREQ(block().errorText, "Illegal Stop Bits");
    uart.Remove(5);
    EXPECT_EQ(OpenPortSlot(2, "Host 5 9600 N 8 1"), 0);
    EXPECT_EQ(block().errorCode, -14);
    EXPECT_STREQ(block().errorText, "No 8250");
}

TEST_F(PortManager, ClosingReleasesFailedPortsTooSoARestartFindsTheDeviceFree) {
    uart.Device(2);
    ASSERT_EQ(OpenPortSlot(0, "Probe 2 9600 N 8 3"), 0);
    EXPECT_TRUE(uart.Device(2).open) << "the device opened, only the setting was refused";
    EXPECT_EQ(ClosePortSlots(), 1);
    EXPECT_FALSE(uart.Device(2).open);
    EXPECT_EQ(LivePortCount(), 0);
    EXPECT_EQ(portTable[0].port, nullptr);
    EXPECT_EQ(ClosePortSlots(), 1) << "a second close finds nothing to close";
    ASSERT_EQ(OpenPortSlot(0, "Probe 2 9600 N 8 1"), 1);
    EXPECT_EQ(LivePortCount(), 1);
}

TEST_F(PortManager, OpeningAgainWithoutClosingLeaksNoPort) {
    uart.Device(2);
    WriteSettings({"PORT1=Controller 2"});
    OpenPortSlots();
    OpenPortSlots();
    EXPECT_EQ(LivePortCount(), 1);
}

TEST_F(PortManager, ComZeroUsesNoPortAndFailsAsInvalidPort) {
    EXPECT_EQ(OpenPortSlot(1, "Handbox 0 9600 N 8 1"), 0);
    EXPECT_EQ(block().handboxPort, 1);
    EXPECT_EQ(block().errorCode, -2);
    EXPECT_STREQ(block().errorText, "Invalid Port");
    EXPECT_NE(trace.text().find("CANNOT Open Handbox at COM0 9600 N 8 1\n"), std::string::npos);
    EXPECT_EQ(portTable[1].comNumber, -1);
}

TEST_F(PortManager, OverlongRoleNamesNeverOverflow) {
    uart.Device(2);
    block().controllerPort = -1;
    EXPECT_EQ(OpenPortSlot(0, "ControllerControllerController 2 9600 N 8 1"), kSlotPassedOver);
    EXPECT_EQ(block().controllerPort, -1) << "a role name longer than 19 characters matches no role";
    EXPECT_EQ(LivePortCount(), 0);
    const PortLine scanned = ScanPortLine(std::string(500, 'x'));
    EXPECT_TRUE(scanned.roleTooLong);
    EXPECT_EQ(std::string(scanned.roleName).size(), 19u);
}

// Long lines are scanned whole, up to the longest the settings reader gives whole;
// a line that long may have been cut by the reader and opens nothing.
TEST_F(PortManager, LongPortLinesAreScannedWholeAndLinesTheReaderMayHaveCutAreRefused) {
    const std::size_t lengths[] = {99, 100, 112, kPortLineRefusedLength - 1, kPortLineRefusedLength, 200};
    for (std::size_t length : lengths) {
        SCOPED_TRACE(length);
        uart.Device(3);
        const int settingsWritten = uart.Device(3).setCommStateCalls;
        block().probePort = -1;
        block().errorCode = 0;
        trace.clear();
        const std::string tail = "3 19200 E 7 2";
        const std::string text = "Probe" + std::string(length - 5 - tail.size(), ' ') + tail;
        ASSERT_EQ(text.size(), length);
        if (length < kPortLineRefusedLength) {
            ASSERT_EQ(OpenPortSlot(1, text), 1);
            EXPECT_EQ(uart.Device(3).lastDcb.BaudRate, 19200u);
            EXPECT_EQ(uart.Device(3).lastDcb.ByteSize, 7);
            EXPECT_EQ(uart.Device(3).lastDcb.StopBits, 2) << "two stop bits";
            EXPECT_EQ(block().probePort, 1);
        } else {
            EXPECT_EQ(OpenPortSlot(1, text), 0);
            EXPECT_EQ(block().errorCode, kPortLineTooLong);
            EXPECT_STREQ(block().errorText, "Overflow");
            EXPECT_EQ(block().probePort, -1) << "nothing of a line that may be cut is used";
            EXPECT_EQ(portTable[1].comNumber, -1);
            EXPECT_EQ(uart.Device(3).setCommStateCalls, settingsWritten);
            EXPECT_FALSE(uart.Device(3).open);
            EXPECT_NE(trace.text().find("CANNOT Open PORT2: a line of 127 characters or more may have been cut\n"),
                      std::string::npos)
                << trace.text();
        }
        ClosePortSlots();
        EXPECT_EQ(LivePortCount(), 0);
    }
    // Through the settings reader, which gives at most 127 characters of a value.
    uart.Device(2);
    WriteSettings({"PORT1=Controller 2 9600 N 8 1" + std::string(150, ' ') + "2"});
    EXPECT_EQ(OpenPortSlots(), 0);
    EXPECT_EQ(block().errorCode, kPortLineTooLong);
    EXPECT_FALSE(uart.Device(2).open);
}

// Numbers beyond 32 bits read as the 32-bit module reads them, held at the range's
// ends, on every build: a baud rate of 2^32 + 9600 is refused, not cut to 9600.
TEST_F(PortManager, NumbersBeyondThirtyTwoBitsAreHeldAtTheEndsOfTheRange) {
    uart.Device(2);
    EXPECT_EQ(OpenPortSlot(0, "Controller 2 4294976896 N 8 1"), 0);
    EXPECT_EQ(block().errorCode, -25);
    const PortLine scanned = ScanPortLine("Probe -99999999999 115222222222222222222222 N 8 1");
    EXPECT_EQ(scanned.comNumber, INT32_MIN);
    EXPECT_EQ(scanned.baudRate, INT32_MAX);
}

TEST_F(PortManager, TimedOutReadKeepsThePartialLineForTheNextLine) {
    OpenController();
    SetReadRetryLimit(5);
    realGetChar = portTable[0].port->ops.GetChar;
    portTable[0].port->ops.GetChar = CountingGetChar;
    polls = 0;
    Receive(2, "ABC");
    char buffer[kPortLineSize];
    EXPECT_EQ(ReadSlotLine(0, buffer), -99);
    EXPECT_EQ(polls, 3 + 6) << "three characters, then readRetryLimit + 1 empty polls";
    EXPECT_STREQ(buffer, "ABC");
    EXPECT_EQ(pendingLine.length, 3);
    EXPECT_EQ(block().errorCode, -99);
    EXPECT_EQ(block().lineDone, 0);
    EXPECT_NE(trace.text().find("-99[3]: ABC\n"), std::string::npos);
    Receive(2, "D\n");
    EXPECT_EQ(ReadSlotLine(0, buffer), 0);
    EXPECT_STREQ(buffer, "ABCD\n");
    EXPECT_EQ(block().errorCode, 0);
    EXPECT_EQ(block().lineDone, 1);
    EXPECT_EQ(pendingLine.length, 0);
    EXPECT_NE(trace.text().find("--> ABCD\n\n"), std::string::npos);
}

// The count of empty polls times out after limit + 1 polls at every limit the host
// can give, INT_MAX included (started near it, rather than polled 2^31 times).
TEST(EmptyPollCount, TimesOutAfterLimitPlusOnePollsAtEveryLimit) {
    struct Case {
        std::int32_t limit;
        std::int64_t start;
        int polls;
    };
    const Case cases[] = {{0, 0, 1},          {5, 0, 6},
                          {-1, 0, 1},         {INT32_MIN, 0, 1},
                          {INT32_MAX, INT32_MAX - 2, 3}, {INT32_MAX, INT32_MAX, 1}};
    for (const Case& c : cases) {
        EmptyPollCount count(c.start);
        int counted = 1;
        while (!count.TimedOut(c.limit) && counted < 100) ++counted;
        EXPECT_EQ(counted, c.polls) << c.limit;
    }
}

TEST_F(PortManager, EmptyTimeoutDiscardsTheEarlierPartialLine) {
    OpenController();
    SetReadRetryLimit(2);
    char buffer[kPortLineSize];
    Receive(2, "XY");
    EXPECT_EQ(ReadSlotLine(0, buffer), -99);
    EXPECT_EQ(ReadSlotLine(0, buffer), -99);
    EXPECT_EQ(pendingLine.length, 0);
    Receive(2, "Z\n");
    EXPECT_EQ(ReadSlotLine(0, buffer), 0);
    EXPECT_STREQ(buffer, "Z\n");
}

TEST_F(PortManager, LinesOfEightyFitAndEightyOneOverflowEvenWithTheNewline) {
    OpenController();
    char buffer[kPortLineSize];
    Receive(2, std::string(79, 'a') + "\n");
    EXPECT_EQ(ReadSlotLine(0, buffer), 0);
    EXPECT_EQ(std::string(buffer).size(), 80u);
    Receive(2, std::string(80, 'b') + "\n");
    EXPECT_EQ(ReadSlotLine(0, buffer), -90);
    EXPECT_EQ(block().lineDone, 1);
    EXPECT_EQ(block().errorCode, -90);
    EXPECT_STREQ(block().errorText, "Buffer overflow");
    EXPECT_EQ(std::string(buffer), std::string(80, 'b') + "\n");
    Receive(2, std::string(90, 'c'));
    EXPECT_EQ(ReadSlotLine(0, buffer), -90);
    EXPECT_EQ(std::string(buffer), std::string(81, 'c')) << "an overflowed line is terminated in the buffer";
}

TEST_F(PortManager, PendingLineThatWouldPassTheBufferIsTooLong) {
    OpenController();
    SetReadRetryLimit(1);
    char buffer[kPortLineSize];
    Receive(2, std::string(70, 'p'));
    EXPECT_EQ(ReadSlotLine(0, buffer), -99);
    Receive(2, std::string(40, 'q') + "\n");
    EXPECT_EQ(ReadSlotLine(0, buffer), -90);
    EXPECT_STREQ(block().errorText, "Buffer overflow");
    EXPECT_EQ(std::string(buffer), std::string(70, 'p') + std::string(29, 'q'));
    EXPECT_EQ(pendingLine.length, 0);
}

TEST_F(PortManager, WriteSendsUpToTheNewlineAndSlotMinusOneSendsNothing) {
    OpenController();
    EXPECT_EQ(WriteSlotString(0, "AB\nCD"), 0);
    EXPECT_EQ(std::string(uart.Device(2).written.begin(), uart.Device(2).written.end()), "AB");
    EXPECT_EQ(WriteSlotString(-1, "EF"), 0);
    EXPECT_EQ(uart.Device(2).written.size(), 2u);
    EXPECT_NE(trace.text().find("-> AB\nCD  "), std::string::npos);
}

TEST_F(PortManager, FullTransmitQueueIsReportedAndFlushClearsTheStatus) {
    OpenController();
    uart.Device(2).txWaiting = 1050;
    EXPECT_EQ(WriteSlotString(0, "hello"), -9);
    EXPECT_EQ(block().errorCode, -9);
    EXPECT_STREQ(block().errorText, "Buffer Full");
    Receive(2, "ok\n");
    char buffer[kPortLineSize];
    EXPECT_EQ(ReadSlotLine(0, buffer), -9) << "the status left in the port ends the read";
    uart.Device(2).txWaiting = 0;
    FlushPortSlots();
    EXPECT_EQ(portTable[0].port->status, 0);
    EXPECT_EQ(ReadSlotLine(0, buffer), 0);
    EXPECT_STREQ(buffer, "k\n") << "the character fetched when the status ended the read is dropped";
}

TEST_F(PortManager, SlotsWithoutAnOpenPortAreInvalidPorts) {
    char buffer[kPortLineSize];
    EXPECT_EQ(ReadSlotLine(9, buffer), -2);
    EXPECT_EQ(block().errorCode, -2);
    EXPECT_STREQ(block().errorText, "Invalid Port");
    EXPECT_EQ(ReadSlotLine(3, buffer), -2);
    EXPECT_EQ(WriteSlotString(6, "x"), -2);
    EXPECT_EQ(WriteSlotString(2, "x"), -2);
    EXPECT_EQ(ReportSlotError(-4), -2);
}

TEST_F(PortManager, ALineEndedByThe81stCharacterKeepsThePendingPartAndItsWholeText) {
    OpenController();
    SetReadRetryLimit(0);
    Receive(2, "AB");
    char buffer[kPortLineSize];
    ASSERT_EQ(ReadSlotLine(0, buffer), kReadTimedOut);
    const std::string line = std::string(80, 'C') + "\n";
    Receive(2, line);
    EXPECT_EQ(ReadSlotLine(0, buffer), kReadLineTooLong);
    EXPECT_EQ(std::string(buffer), "AB" + line) << "the line's end is not cut off";
    EXPECT_EQ(block().lineDone, 1);
    EXPECT_STREQ(block().errorText, "Buffer overflow");
    EXPECT_EQ(pendingLine.length, 0);
}

TEST_F(PortManager, VanishedDeviceEndsReadAndWriteWithAStatus) {
    OpenController();
    uart.Device(2).vanished = true;
    char buffer[kPortLineSize];
    EXPECT_LT(ReadSlotLine(0, buffer), 0);
    EXPECT_LT(WriteSlotString(0, "x"), 0);
    EXPECT_LT(block().errorCode, 0);
}

}  // namespace
}  // namespace kestar::testing
