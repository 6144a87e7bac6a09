// Transfers while writes are in flight, on the simulated UART: writes the system
// leaves pending (as a real serial port does until the bytes have left the wire),
// reads beside them, reads that fail outright, and closing with writes held.
#include "fakes/fake_tick_clock.h"
#include "serial/com_write_records.h"
#include "serial/port_manager.h"
#include "serial_fixture.h"
#include "support/test_support.h"

#include <cstring>
#include <string>

namespace kestar::serial::testing {
namespace {

using kestar::testing::FakeTickClock;
using kestar::testing::HostRecords;
using kestar::testing::ScopedStoredBlock;
using kestar::testing::SetReadRetryLimit;
using kestar::testing::ScopedTraceCapture;

std::string Written(const FakeComDevice& device) { return std::string(device.written.begin(), device.written.end()); }

// An 80-character line in which no two neighbours are alike.
std::string EightyCharacters() {
    std::string text;
    for (int i = 0; i < 80; ++i) text += static_cast<char>('!' + (i * 7) % 90);
    return text;
}

int Occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Slot 0 on COM2 and slot 1 on COM3, both working, through the port manager.
class SlotsInFlight : public SerialTest {
protected:
    void SetUp() override {
        SerialTest::SetUp();
        SetReadRetryLimit(20000);
        pendingLine.length = 0;
        uart.Device(2);
        uart.Device(3);
        ASSERT_EQ(OpenPortSlot(0, "Controller 2 9600 N 8 1"), 1);
        ASSERT_EQ(OpenPortSlot(1, "Probe 3 9600 N 8 1"), 1);
        com2 = uart.Find(2);
        com3 = uart.Find(3);
    }
    void TearDown() override {
        ClosePortSlots();
        SerialTest::TearDown();
    }
    HostRecords records;
    ScopedStoredBlock stored{&records.block()};
    ScopedTraceCapture trace;
    FakeComDevice* com2 = nullptr;
    FakeComDevice* com3 = nullptr;
};

using WritesInFlight = SlotsInFlight;

TEST_F(WritesInFlight, LineOfEightyWithEveryWritePendingIsTakenWholeAndArrivesInOrder) {
    com2->writesPend = true;
    const std::string line = EightyCharacters();
    char text[kPortLineSize];
    std::memcpy(text, line.c_str(), line.size() + 1);
    EXPECT_EQ(WriteSlotString(0, text), 0);
    EXPECT_EQ(portTable[0].port->status, 0);
    EXPECT_EQ(com2->HeldWrites(), 80u) << "every character is still on its way";
    EXPECT_TRUE(com2->written.empty());
    EXPECT_EQ(com2->recordReusedWhileHeld, 0);
    // The system reads the bytes of a pending write only as it sends them: what
    // the caller's buffer holds by then must not matter.
    std::memset(text, 'X', sizeof text - 1);
    uart.DrainLine(2);
    EXPECT_EQ(Written(*com2), line);
}

TEST_F(WritesInFlight, SameTextBackToBackOnTwoSlotsReachesEachDeviceWhole) {
    com2->writesPend = true;
    com3->writesPend = true;
    const std::string line = EightyCharacters();
    EXPECT_EQ(WriteSlotString(0, line.c_str()), 0);
    EXPECT_EQ(WriteSlotString(1, line.c_str()), 0);
    uart.DrainLine(3, 30);
    uart.DrainLine(2, 45);
    EXPECT_EQ(WriteSlotString(0, line.c_str()), 0) << "more for slot 0 while both lines are busy";
    EXPECT_EQ(WriteSlotString(1, line.c_str()), 0);
    uart.DrainLine(2);
    uart.DrainLine(3);
    EXPECT_EQ(Written(*com2), line + line);
    EXPECT_EQ(Written(*com3), line + line);
    EXPECT_EQ(com2->recordReusedWhileHeld + com3->recordReusedWhileHeld, 0);
}

// The device's reply arrives while the command's characters are still going out.
int polls = 0;
std::int32_t (*realGetChar)(Port*) = nullptr;
std::int32_t ReplyAfterAHundredPolls(Port* port) {
    if (++polls == 100) {
        for (char c : std::string("PONG\n")) FakeUart::Current()->Device(2).received.push_back(c);
    }
    return realGetChar(port);
}

TEST_F(WritesInFlight, ReplyArrivingWhileTheWritesAreStillHeldIsRead) {
    com2->writesPend = true;
    ASSERT_EQ(WriteSlotString(0, "PING"), 0);
    Port* port = portTable[0].port;
    polls = 0;
    realGetChar = port->ops.GetChar;
    port->ops.GetChar = ReplyAfterAHundredPolls;
    char buffer[kPortLineSize];
    EXPECT_EQ(ReadSlotLine(0, buffer), 0);
    EXPECT_STREQ(buffer, "PONG\n");
    EXPECT_EQ(polls, 104) << "each poll asked the device";
    EXPECT_EQ(com2->HeldWrites(), 4u) << "the read waited for none of the writes";
    uart.DrainLine(2);
    EXPECT_EQ(Written(*com2), "PING");
}

TEST_F(WritesInFlight, QueueFullOfHeldBytesStillGivesBufferFull) {
    com2->writesPend = true;
    com2->txWaiting = 1040;
    const std::string line = EightyCharacters();
    EXPECT_EQ(WriteSlotString(0, line.c_str()), kBufferFull);
    EXPECT_EQ(records.block().errorCode, kBufferFull);
    EXPECT_STREQ(records.block().errorText, "Buffer Full");
    EXPECT_EQ(portTable[0].port->ops.TxFree(portTable[0].port), 0);
    uart.DrainLine(2);
    EXPECT_EQ(Written(*com2), line.substr(0, 10)) << "what fitted was sent, nothing after it";
}

TEST_F(WritesInFlight, CompletedRecordsServeTheNextWrites) {
    Port* port = portTable[0].port;
    com2->writesPend = true;
    ScopedHeapCounter heap;
    for (char c : std::string("0123456789")) ASSERT_EQ(port->ops.PutChar(port, c), 0);
    const int allocated = HeapCounter::allocations;
    EXPECT_GE(allocated, 1);
    uart.DrainLine(2);
    for (char c : std::string("abcdefghij")) ASSERT_EQ(port->ops.PutChar(port, c), 0);
    EXPECT_EQ(HeapCounter::allocations, allocated);
    uart.DrainLine(2);
    EXPECT_EQ(Written(*com2), "0123456789abcdefghij");
}

TEST_F(WritesInFlight, WhenNoRecordCanBeHadTheWriteIsShortAndCompletedOnesAreTakenFirst) {
    Port* port = portTable[0].port;
    com2->writesPend = true;
    ASSERT_EQ(port->ops.Write(port, "ab", 2), 0);
    ScopedHeapCounter heap;
    HeapCounter::failFrom = 1;  // no memory from here on
    EXPECT_EQ(port->ops.Write(port, "cd", 2), kBufferFull);
    EXPECT_EQ(port->transferCount, 0u);
    EXPECT_EQ(port->status, kBufferFull);
    EXPECT_EQ(com2->HeldWrites(), 1u) << "nothing was handed over";
    port->ops.ClearStatus(port);
    uart.DrainLine(2);
    EXPECT_EQ(port->ops.Write(port, "ef", 2), 0) << "the completed write's record serves again";
    EXPECT_EQ(port->ops.PutChar(port, 'g'), kBufferFull) << "and it was the only one";
    uart.DrainLine(2);
    EXPECT_EQ(Written(*com2), "abef");
    EXPECT_EQ(com2->recordReusedWhileHeld, 0);
}

// --- Reads that fail --------------------------------------------------------------

using FailedRead = SlotsInFlight;

TEST_F(FailedRead, ReadFileFailingOutrightGivesBufferEmptyAtOnceAndNoStaleByte) {
    Port* port = portTable[0].port;
    com2->writesPend = true;
    ASSERT_EQ(WriteSlotString(0, "AB"), 0);
    com2->received = {'Q'};
    EXPECT_EQ(port->ops.GetChar(port), 'Q');
    com2->received = {'R'};
    com2->readFailsWith = platform::kCeFrame;
    // The simulated UART fails the test if anything waits on the record the failed
    // ReadFile left behind: on Windows that wait never ends.
    EXPECT_EQ(port->ops.GetChar(port), kBufferEmpty);
    EXPECT_EQ(port->transferCount, 0u);
    EXPECT_EQ(port->ops.PeekChar(port), kBufferEmpty);
    EXPECT_EQ(port->status, 0);
    EXPECT_EQ(port->ops.LineStatus(port), static_cast<std::int32_t>(platform::kCeFrame));
    com2->readFailsWith = 0;
    EXPECT_EQ(port->ops.GetChar(port), 'R') << "the byte was left queued";
    uart.DrainLine(2);
    EXPECT_EQ(Written(*com2), "AB");
}

// --- Closing with writes held ----------------------------------------------------

using ClosingInFlight = SlotsInFlight;

// While Close waits, the line sends: each millisecond slept lets the line complete
// `sentPerSleep` held writes of every port.
std::size_t sentPerSleep = 0;
void SleepWhileTheLineSends(std::uint32_t) {
    if (FakeUart* uart = FakeUart::Current()) uart->DrainLine(0, sentPerSleep);
}


TEST_F(ClosingInFlight, CloseWithWritesTheDeviceNeverCompletesIsBoundedAndKeepsTheirRecords) {
    Port* port = portTable[0].port;
    portTable[0].port = nullptr;
    portTable[0].comNumber = -1;
    com2->writesPend = true;
    com2->writesNeverComplete = true;
    ASSERT_EQ(port->ops.PutChar(port, 'A'), 0);
    ASSERT_EQ(port->ops.PutChar(port, 'B'), 0);
    FakeTickClock clock(1000, 10);
    EXPECT_EQ(port->ops.Close(port), 0);
    EXPECT_LE(clock.now() - 1000, kCloseWaitMs + 20) << "the wait is bounded";
    EXPECT_FALSE(com2->open) << "the device is closed all the same";
    EXPECT_EQ(com2->cancelIoCalls, 1);
    EXPECT_EQ(Occurrences(trace.text(), "writes still held"), 1);
    EXPECT_NE(trace.text().find("COM2: 2 writes still held"), std::string::npos) << trace.text();
    EXPECT_FALSE(IsLivePort(port));
    // The device finally lets go: the records and their bytes are still there.
    ASSERT_EQ(com2->HeldWrites(), 2u);
    platform::Overlapped* first = uart.ForceCompleteOldestWrite(2);
    platform::Overlapped* second = uart.ForceCompleteOldestWrite(2);
    EXPECT_EQ(Written(*com2), "AB");
    FreeBlock(first);  // the records the driver left allocated
    FreeBlock(second);
}

TEST_F(ClosingInFlight, ClosePortSlotsWithAWriteNeverCompletedClosesEveryPortWithinTheBound) {
    com2->writesPend = true;
    com2->writesNeverComplete = true;
    com3->writesPend = true;
    ASSERT_EQ(WriteSlotString(0, "X"), 0);
    ASSERT_EQ(WriteSlotString(1, "YZ"), 0);
    FakeTickClock clock(50, 10);
    sentPerSleep = 1;
    platform::SystemOps sending = platform::System();
    sending.Sleep = SleepWhileTheLineSends;
    platform::ScopedSystemOps line(sending);
    EXPECT_EQ(ClosePortSlots(), 1);
    EXPECT_LE(clock.now() - 50, kCloseWaitMs + 20);
    EXPECT_FALSE(com2->open);
    EXPECT_FALSE(com3->open);
    EXPECT_EQ(LivePorts(), nullptr);
    EXPECT_EQ(Occurrences(trace.text(), "writes still held"), 1) << "only COM2 kept a record";
    EXPECT_EQ(Written(*com3), "YZ") << "COM3's writes left while COM2 waited";
    FreeBlock(uart.ForceCompleteOldestWrite(2));
    EXPECT_EQ(Written(*com2), "X");
}

TEST_F(ClosingInFlight, CloseAllPortsAtUnloadIsBoundedTheSameWay) {
    com2->writesPend = true;
    com2->writesNeverComplete = true;
    ASSERT_EQ(WriteSlotString(0, "Q"), 0);
    portTable[0] = PortSlot{-1, nullptr};
    portTable[1] = PortSlot{-1, nullptr};
    FakeTickClock clock(0, 10);
    CloseAllPorts();  // what the module's unload runs
    EXPECT_LE(clock.now(), kCloseWaitMs + 20);
    EXPECT_EQ(LivePorts(), nullptr);
    EXPECT_FALSE(com2->open);
    EXPECT_FALSE(com3->open);
    EXPECT_EQ(Occurrences(trace.text(), "writes still held"), 1);
    FreeBlock(uart.ForceCompleteOldestWrite(2));
}

// Close first waits, within its bound, for what Write reported as taken; only what
// is still held then is aborted (nothing the device had queued is cleared), and the
// count dropped is traced.
TEST_F(ClosingInFlight, CloseWaitsForHeldWritesAndAbortsOnlyWhatIsStillHeld) {
    struct Case {
        std::size_t sentPerSleep;  // 0: the line sends nothing while Close waits
        std::string arrives;       // what reaches COM2
        const char* dropped;       // the trace line of the writes aborted, or null
    };
    const Case cases[] = {{1, "ABC", nullptr}, {3, "ABC", nullptr}, {0, "", "COM2: 3 writes (3 bytes) not sent"}};
    for (const Case& c : cases) {
        ClosePortSlots();
        ASSERT_EQ(OpenPortSlot(0, "Controller 2 9600 N 8 1"), 1);
        com2 = uart.Find(2);
        com2->written.clear();
        com2->calls.clear();
        com2->writesPend = true;
        ASSERT_EQ(WriteSlotString(0, "ABC"), 0);
        ASSERT_EQ(com2->HeldWrites(), 3u);
        trace.clear();
        FakeTickClock clock(0, 1);
        sentPerSleep = c.sentPerSleep;
        platform::SystemOps sending = platform::System();
        sending.Sleep = SleepWhileTheLineSends;
        platform::ScopedSystemOps line(sending);
        ScopedHeapCounter heap;
        EXPECT_EQ(portTable[0].port->ops.Close(portTable[0].port), 0);
        portTable[0] = PortSlot{-1, nullptr};
        EXPECT_LE(clock.now(), kCloseWaitMs + 20) << "the wait is bounded";
        EXPECT_EQ(Written(*com2), c.arrives) << c.sentPerSleep;
        for (const std::string& call : com2->calls) {
            if (call.rfind("PurgeComm", 0) == 0) {
                EXPECT_EQ(call, "PurgeComm " + std::to_string(platform::kPurgeTxAbort)) << "nothing queued is cleared";
            }
        }
        if (c.dropped == nullptr) {
            EXPECT_EQ(trace.text().find("not sent"), std::string::npos) << trace.text();
        } else {
            EXPECT_NE(trace.text().find(c.dropped), std::string::npos) << trace.text();
        }
        EXPECT_EQ(trace.text().find("still held"), std::string::npos) << "the records came back";
        EXPECT_EQ(HeapCounter::frees, 2 + 3) << "the driver data, the port and the three records";
    }
}

}  // namespace
}  // namespace kestar::serial::testing
