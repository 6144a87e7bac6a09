// Transfer, line control, status and dump of an open COM port on the simulated UART.
#include "fakes/fake_tick_clock.h"
#include "serial_fixture.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kestar::serial::testing {
namespace {

using kestar::testing::FakeTickClock;

class ComPort : public SerialTest {
protected:
    void SetUp() override {
        SerialTest::SetUp();
        port = OpenCom1();
        device = uart.Find(1);
    }
    void Receive(std::initializer_list<std::uint8_t> bytes) { device->received.insert(device->received.end(), bytes); }
    Port* port = nullptr;
    FakeComDevice* device = nullptr;
};

using Transfer = ComPort;

TEST_F(Transfer, ReadTakesWhatIsQueuedUpToTheLength) {
    Receive({1, 2, 3, 4, 5});
    unsigned char buffer[10] = {};
    EXPECT_EQ(port->ops.Read(port, buffer, 3), 0);
    EXPECT_EQ(port->transferCount, 3u);
    EXPECT_EQ(device->received.size(), 2u);
    EXPECT_EQ(port->ops.Read(port, buffer, 10), 0);
    EXPECT_EQ(port->transferCount, 2u);
    EXPECT_EQ(buffer[0], 4);
    EXPECT_EQ(buffer[1], 5);
}

TEST_F(Transfer, ShortReadOfFiveIntoTenSucceedsWithTheCount) {
    Receive({1, 2, 3, 4, 5});
    unsigned char buffer[10] = {};
    EXPECT_EQ(port->ops.Read(port, buffer, 10), 0);
    EXPECT_EQ(port->transferCount, 5u);
}

TEST_F(Transfer, EmptyQueueGivesBufferEmptyWithoutStoringIt) {
    port->status = -3;
    port->transferCount = 99;
    unsigned char buffer[4];
    EXPECT_EQ(port->ops.Read(port, buffer, 4), kBufferEmpty);
    EXPECT_EQ(port->transferCount, 0u);
    EXPECT_EQ(port->status, -3);
    EXPECT_EQ(port->ops.GetChar(port), kBufferEmpty);
    EXPECT_EQ(port->ops.PeekChar(port), kBufferEmpty);
    EXPECT_EQ(port->status, -3);
}

TEST_F(Transfer, PendingReadIsCompletedThroughTheOverlappedResult) {
    Receive({7, 8});
    device->readsPend = true;
    unsigned char buffer[2] = {};
    EXPECT_EQ(port->ops.Read(port, buffer, 2), 0);
    EXPECT_EQ(port->transferCount, 2u);
    EXPECT_EQ(buffer[1], 8);
}

TEST_F(Transfer, ReadWhoseCompletionFailsGivesBufferEmptyUnstored) {
    Receive({7, 8});
    device->readsPend = true;
    device->readCompletionFails = true;
    unsigned char buffer[2];
    EXPECT_EQ(port->ops.Read(port, buffer, 2), kBufferEmpty);
    EXPECT_EQ(port->status, 0);
    EXPECT_EQ(port->ops.GetChar(port), kBufferEmpty);
}

TEST_F(Transfer, GetCharGivesBytesAsZeroTo255) {
    Receive({0xFF, 0x00});
    EXPECT_EQ(port->ops.GetChar(port), 255);
    EXPECT_EQ(port->ops.GetChar(port), 0);
    EXPECT_EQ(port->transferCount, 1u);
}

TEST_F(Transfer, PeekCharConsumesOneByteAndReturnsTheNextSignExtended) {
    Receive({0x41, 0xC8});
    EXPECT_EQ(port->ops.PeekChar(port), -56);  // 0xC8 looked at, 0x41 taken
    EXPECT_EQ(device->received.size(), 1u);
    EXPECT_EQ(port->ops.PeekChar(port), -56);  // nothing behind it: the byte read stays
    EXPECT_TRUE(device->received.empty());
}

TEST_F(Transfer, PeekCharRefusedBySystemGivesMappedErrorAfterConsumingAByte) {
    Receive({0x41, 0x42});
    device->peekFails = true;
    EXPECT_EQ(port->ops.PeekChar(port), kGeneralError);
    EXPECT_EQ(port->status, kGeneralError);
    EXPECT_EQ(device->received.size(), 1u);
}

TEST_F(Transfer, WriteHandsOverOnlyWhatFitsAndStoresBufferFull) {
    device->txWaiting = 1000;
    unsigned char block[100];
    std::memset(block, 'x', sizeof block);
    EXPECT_EQ(port->ops.Write(port, block, 100), kBufferFull);
    EXPECT_EQ(port->transferCount, 50u);
    EXPECT_EQ(port->status, kBufferFull);
    EXPECT_EQ(device->written.size(), 50u);
}

// A driver that ignores SetupComm's sizes queues more than was asked for: the free
// figure wraps and the whole length is handed over, with nothing stored in status.
TEST_F(Transfer, WriteOverAnOverFullSystemQueueHandsOverTheWholeLength) {
    device->txWaiting = 1100;
    EXPECT_EQ(port->ops.Write(port, "hello", 5), 0);
    EXPECT_EQ(port->transferCount, 5u);
    EXPECT_EQ(port->ops.PutChar(port, '!'), 0);
    EXPECT_EQ(port->status, 0);
    EXPECT_EQ(std::string(device->written.begin(), device->written.end()), "hello!");
}

TEST_F(Transfer, WriteOfWhatFitsSucceeds) {
    port->status = -3;
    EXPECT_EQ(port->ops.Write(port, "hello", 5), 0);
    EXPECT_EQ(port->transferCount, 5u);
    EXPECT_EQ(port->status, -3);
    EXPECT_EQ(std::string(device->written.begin(), device->written.end()), "hello");
}

TEST_F(Transfer, SystemQueueThatFillsGivesAShortCountAndBufferFull) {
    device->acceptLimit = 3;
    EXPECT_EQ(port->ops.Write(port, "hello", 5), kBufferFull);
    EXPECT_EQ(port->transferCount, 3u);
}

TEST_F(Transfer, PutCharSendsTheLowByteAndFailsOnAFullQueue) {
    EXPECT_EQ(port->ops.PutChar(port, 0x141), 0);
    ASSERT_EQ(device->written.size(), 1u);
    EXPECT_EQ(device->written[0], 0x41);
    device->txWaiting = 1050;
    EXPECT_EQ(port->ops.PutChar(port, 'A'), kBufferFull);
    EXPECT_EQ(port->status, kBufferFull);
}

TEST_F(Transfer, NullBuffersMoveNothingAndCrashNothing) {
    Receive({1});
    EXPECT_EQ(port->ops.Read(port, nullptr, 4), kBufferEmpty);
    EXPECT_EQ(port->ops.Write(port, nullptr, 4), kBufferFull);
    EXPECT_EQ(port->transferCount, 0u);
    EXPECT_EQ(device->received.size(), 1u);
}

// --- A write the system holds -------------------------------------------------

TEST_F(Transfer, PendingWriteCountsAsSentAndTheNextTransfersGoOnBesideIt) {
    device->writesPend = true;
    EXPECT_EQ(port->ops.Write(port, "abc", 3), 0);
    EXPECT_EQ(port->transferCount, 3u);
    ASSERT_EQ(device->HeldWrites(), 1u);
    Receive({9});
    // The held record stays with the system; the next write gets its own and the
    // read is answered from the queue.
    EXPECT_EQ(port->ops.Write(port, "d", 1), 0);
    EXPECT_EQ(port->transferCount, 1u);
    EXPECT_EQ(port->ops.GetChar(port), 9);
    EXPECT_EQ(device->recordReusedWhileHeld, 0);
    EXPECT_EQ(port->status, 0);
    EXPECT_TRUE(device->written.empty()) << "nothing has left the line yet";
    uart.DrainLine(1);
    EXPECT_EQ(std::string(device->written.begin(), device->written.end()), "abcd");
}

TEST_F(Transfer, CloseAbortsPendingWritesBeforeFreeingTheirRecords) {
    device->writesPend = true;
    port->ops.Write(port, "abc", 3);
    port->ops.PutChar(port, 'd');
    device->calls.clear();
    FakeTickClock clock(0, 1);
    EXPECT_EQ(port->ops.Close(port), 0);
    EXPECT_EQ(device->HeldWrites(), 0u);
    // First the wait for the writes to complete, then the abort of what is still
    // held, which clears nothing the device has queued.
    const auto purge = std::find(device->calls.begin(), device->calls.end(), "PurgeComm 1");
    ASSERT_NE(purge, device->calls.end());
    EXPECT_GT(purge - device->calls.begin(), 1) << "the writes were waited for first";
    ASSERT_NE(purge + 1, device->calls.end());
    EXPECT_EQ(purge[1], "CancelIo");
    EXPECT_EQ(device->calls.back(), "CloseHandle");
    EXPECT_TRUE(device->written.empty()) << "aborted writes send nothing";
}

// --- Line errors --------------------------------------------------------------

using LineErrors = ComPort;

TEST_F(LineErrors, EveryQueryAddsToTheAccumulatedWordUntilCleared) {
    device->pendingErrors = platform::kCeFrame;
    EXPECT_EQ(port->ops.RxCount(port), 0);  // the count's query sees the framing error
    EXPECT_EQ(port->ops.LineStatus(port), 0x08);
    device->pendingErrors = platform::kCeRxParity | platform::kCeTxFull;
    unsigned char byte;
    port->ops.Read(port, &byte, 1);
    EXPECT_EQ(port->ops.LineStatus(port), 0x0C);
    EXPECT_EQ(Data(port).lineErrors, platform::kCeFrame | platform::kCeRxParity | platform::kCeTxFull);
    EXPECT_EQ(port->ops.ClearLineErrors(port), 0);
    EXPECT_EQ(port->ops.LineStatus(port), 0);
    device->pendingErrors = platform::kCeBreak | platform::kCeOverrun | platform::kCeMode;
    EXPECT_EQ(port->ops.LineStatus(port), 0x12);
}

TEST_F(LineErrors, FailedTransfersCollectTheErrorTheyCaused) {
    device->writeFailsWith = platform::kCeTxFull;
    EXPECT_EQ(port->ops.Write(port, "ab", 2), kBufferFull);
    EXPECT_EQ(port->transferCount, 0u);
    EXPECT_EQ(Data(port).lineErrors, platform::kCeTxFull);
    Receive({1, 2});
    device->readFailsWith = platform::kCeFrame;
    unsigned char buffer[2];
    // The read failed outright: nothing was started, so nothing is waited for.
    EXPECT_EQ(port->ops.Read(port, buffer, 2), kBufferEmpty);
    EXPECT_EQ(port->transferCount, 0u);
    EXPECT_EQ(port->status, kBufferFull) << "the read's -8 is not stored";
    EXPECT_EQ(Data(port).lineErrors, platform::kCeTxFull | platform::kCeFrame);
    EXPECT_EQ(port->ops.GetChar(port), kBufferEmpty) << "no byte arrived, none is invented";
}

// --- Queue counts -------------------------------------------------------------

using QueueCounts = ComPort;

TEST_F(QueueCounts, ReportTheSystemQueuesAgainstTheRequestedSizes) {
    Receive({1, 2, 3});
    device->txWaiting = 40;
    EXPECT_EQ(port->ops.RxCount(port), 3);
    EXPECT_EQ(port->ops.RxFree(port), 1047);
    EXPECT_EQ(port->ops.TxCount(port), 40);
    EXPECT_EQ(port->ops.TxFree(port), 1010);
}

TEST_F(QueueCounts, FreeFiguresGoNegativeWhenTheSystemQueuesMore) {
    device->txWaiting = 1100;
    EXPECT_EQ(port->ops.TxFree(port), -50);
}

std::vector<std::uint32_t> queuesAsked;
platform::Bool RecordingClearCommErrorFor(platform::Handle device, std::uint32_t queues, std::uint32_t* errors,
                                          platform::ComStat* stat) {
    queuesAsked.push_back(queues);
    return platform::ClearCommErrorWhole(device, queues, errors, stat);
}

TEST_F(QueueCounts, EachOperationAsksTheSystemForTheCountsItReads) {
    struct Case {
        const char* name;
        std::int32_t (*run)(Port*);
        std::uint32_t queues;
    };
    const Case cases[] = {
        {"GetChar", [](Port* p) { return p->ops.GetChar(p); }, platform::kInQueue},
        {"PeekChar", [](Port* p) { return p->ops.PeekChar(p); }, platform::kInQueue},
        {"Read", [](Port* p) { unsigned char b[4]; return p->ops.Read(p, b, 4); }, platform::kInQueue},
        {"PutChar", [](Port* p) { return p->ops.PutChar(p, 'A'); }, platform::kOutQueue},
        {"Write", [](Port* p) { return p->ops.Write(p, "ab", 2); }, platform::kOutQueue},
        {"TxFree", [](Port* p) { return p->ops.TxFree(p); }, platform::kBothQueues},
        {"TxCount", [](Port* p) { return p->ops.TxCount(p); }, platform::kBothQueues},
        {"RxFree", [](Port* p) { return p->ops.RxFree(p); }, platform::kBothQueues},
        {"RxCount", [](Port* p) { return p->ops.RxCount(p); }, platform::kBothQueues},
        {"LineStatus", [](Port* p) { return p->ops.LineStatus(p); }, platform::kBothQueues},
    };
    platform::SerialOps ops = platform::Serial();
    ops.ClearCommErrorFor = RecordingClearCommErrorFor;
    platform::ScopedSerialOps recording(ops);
    for (const Case& c : cases) {
        Receive({1, 2});
        queuesAsked.clear();
        c.run(port);
        EXPECT_EQ(queuesAsked, std::vector<std::uint32_t>{c.queues}) << c.name;
    }
}

// --- Handshakes and lines -----------------------------------------------------

using LineControl = ComPort;

TEST_F(LineControl, XonXoffSwitchesBothDirectionsAndSurvivesSetLine) {
    EXPECT_EQ(port->ops.XonXoffHandshake(port, 0), 0);
    EXPECT_EQ(device->lastDcb.fInX, 0u);
    EXPECT_EQ(device->lastDcb.fOutX, 0u);
    EXPECT_EQ(port->ops.XonXoffHandshake(port, 5), 0);
    EXPECT_EQ(device->lastDcb.fInX, 1u);
    EXPECT_EQ(device->lastDcb.fOutX, 1u);
    EXPECT_EQ(port->ops.SetLine(port, 19200, 'E', 7, 2), 0);
    EXPECT_EQ(device->lastDcb.fInX, 1u);
    EXPECT_EQ(device->lastDcb.fOutX, 1u);
    EXPECT_EQ(device->lastDcb.BaudRate, 19200u);
}

TEST_F(LineControl, RtsCtsOnIsHandshakeAndOffLowersRts) {
    EXPECT_EQ(port->ops.RtsCtsHandshake(port, 1), 0);
    EXPECT_EQ(device->lastDcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(device->lastDcb.fRtsControl, platform::kRtsControlHandshake);
    EXPECT_EQ(port->ops.RtsCtsHandshake(port, 0), 0);
    EXPECT_EQ(device->lastDcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(device->lastDcb.fRtsControl, platform::kRtsControlDisable);
    EXPECT_EQ(device->lastDcb.fDtrControl, platform::kDtrControlEnable) << "other line untouched";
}

TEST_F(LineControl, DtrDsrOnIsHandshakeAndOffLowersDtr) {
    EXPECT_EQ(port->ops.DtrDsrHandshake(port, 1), 0);
    EXPECT_EQ(device->lastDcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(device->lastDcb.fDtrControl, platform::kDtrControlHandshake);
    EXPECT_EQ(port->ops.DtrDsrHandshake(port, 0), 0);
    EXPECT_EQ(device->lastDcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(device->lastDcb.fDtrControl, platform::kDtrControlDisable);
}

TEST_F(LineControl, SetDtrAndSetRtsReplaceTheModeAndKeepTheFlowFlags) {
    port->ops.RtsCtsHandshake(port, 1);
    port->ops.DtrDsrHandshake(port, 1);
    EXPECT_EQ(port->ops.SetRts(port, 0), 0);
    EXPECT_EQ(device->lastDcb.fRtsControl, platform::kRtsControlDisable);
    EXPECT_EQ(device->lastDcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(port->ops.SetDtr(port, 1), 0);
    EXPECT_EQ(device->lastDcb.fDtrControl, platform::kDtrControlEnable);
    EXPECT_EQ(device->lastDcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(port->ops.SetRts(port, 1), 0);
    EXPECT_EQ(device->lastDcb.fRtsControl, platform::kRtsControlEnable);
}

TEST_F(LineControl, RefusedControlBlockFailsHandshakesButNotLineSwitches) {
    device->refuseCommState = true;
    device->refuseError = 2;
    EXPECT_EQ(port->ops.XonXoffHandshake(port, 1), kNo8250);
    EXPECT_EQ(port->status, kNo8250);
    port->status = 0;
    EXPECT_EQ(port->ops.RtsCtsHandshake(port, 1), kNo8250);
    EXPECT_EQ(port->ops.DtrDsrHandshake(port, 1), kNo8250);
    port->status = 0;
    EXPECT_EQ(port->ops.SetDtr(port, 0), 0);
    EXPECT_EQ(port->ops.SetRts(port, 0), 0);
    EXPECT_EQ(port->status, 0);
}

TEST_F(LineControl, PurgeTxDiscardsTheTransmitQueueOnly) {
    Receive({1});
    device->txWaiting = 20;
    EXPECT_EQ(port->ops.PurgeTx(port), 0);
    EXPECT_EQ(device->calls.back(), "PurgeComm 4");
    EXPECT_EQ(port->ops.TxCount(port), 0);
    EXPECT_EQ(port->ops.RxCount(port), 1);
    device->purgeFails = true;
    EXPECT_EQ(port->ops.PurgeTx(port), kGeneralError);
    EXPECT_EQ(port->status, kGeneralError);
}

TEST_F(LineControl, ModemStatusGivesTheLowByteOfTheSystemWord) {
    device->modemWord = 0x1F0;
    EXPECT_EQ(port->ops.ModemStatus(port), 0xF0);
    device->modemWord = platform::kMsCtsOn | platform::kMsRlsdOn;
    EXPECT_EQ(port->ops.ModemStatus(port), 0x90);
    device->modemFails = true;
    EXPECT_EQ(port->ops.ModemStatus(port), 0);
    EXPECT_EQ(port->status, 0);
}

// --- Break ----------------------------------------------------------------------

int breakIdleCalls = 0;
std::int32_t AbortingIdle(Port*) {
    ++breakIdleCalls;
    return -16;
}
std::int32_t CountingIdle(Port*) {
    ++breakIdleCalls;
    return 0;
}

// A 10 ms tick from 5 s, and the idle calls counted afresh.
class Break : public ComPort {
protected:
    FakeTickClock clock{5000, 10};
    void SetUp() override {
        ComPort::SetUp();
        breakIdleCalls = 0;
    }
};

TEST_F(Break, HoldsTheBreakForItsDuration) {
    SetIdleRoutine(CountingIdle);
    EXPECT_EQ(port->ops.SendBreak(port, 250), 0);
    ASSERT_EQ(device->breakSetAt.size(), 1u);
    ASSERT_EQ(device->breakClearedAt.size(), 1u);
    EXPECT_GE(device->breakClearedAt[0] - device->breakSetAt[0], 250u);
    EXPECT_LE(device->breakClearedAt[0] - device->breakSetAt[0], 270u);
    EXPECT_EQ(breakIdleCalls, 24);
    EXPECT_FALSE(device->breakOn);
}

TEST_F(Break, AnIdleRoutineThatEndsTheWaitShortensTheBreakButNotItsResult) {
    SetIdleRoutine(AbortingIdle);
    EXPECT_EQ(port->ops.SendBreak(port, 250), 0);
    EXPECT_EQ(breakIdleCalls, 1);
    EXPECT_FALSE(device->breakOn);
}

TEST_F(Break, ZeroOrNegativeDurationSetsAndClearsWithoutIdling) {
    SetIdleRoutine(CountingIdle);
    EXPECT_EQ(port->ops.SendBreak(port, 0), 0);
    EXPECT_EQ(port->ops.SendBreak(port, -5), 0);
    EXPECT_EQ(breakIdleCalls, 0);
    EXPECT_EQ(device->breakSetAt.size(), 2u);
    EXPECT_EQ(device->breakClearedAt.size(), 2u);
}

// --- Dump -------------------------------------------------------------------------

using Dump = ComPort;

TEST_F(Dump, FreshPortAt9600EightNoneOne) {
    EXPECT_EQ(port->ops.Dump(port, CollectDumpLine), 0);
    const std::vector<std::string> expected = {
        "",
        "Port type:  MS Windows  DCB BaudRate: 9600    ByteSize: 8  Parity: 0",
        "StopBits: 0 fBinary: 1  fRtsControl: 1",
        "Parity: 0  OutCtsFlow: 0  OutDsrFlow: 0  DtrControl: 1  OutX: 1  InX: 1",
        "Null: 0  DtrControl: 1  RtsControl: 1  XonChar: 11  XoffChar: 13",
        "XonLim: 262   XoffLim: 262   EofChr: 00  EvtChr: 00",
        "RX count/free:     0/1050   TX count/free:     0/1050   BREAK/FE/OE/PE: 0000",
        "CE_BREAK:0  CE_FRAME:0  CE_MODE:0 CE_OVERRUN:0",
        "CE_RXOVER:0 CE_RXPARITY:0 CE_TXFULL:0  CTS/DSR/RI/CD: 0000",
        "8250:0000",
    };
    EXPECT_EQ(DumpLines(), expected);
}

TEST_F(Dump, ShowsQueuesErrorsAndModemLines) {
    Receive({1, 2, 3, 4, 5, 6, 7});
    device->txWaiting = 12345;
    device->pendingErrors = platform::kCeBreak | platform::kCeRxParity;
    device->modemWord = platform::kMsDsrOn | platform::kMsRlsdOn;
    port->ops.SetLine(port, 256000, 'o', 7, 2);
    port->ops.XonXoffHandshake(port, 0);
    port->ops.RtsCtsHandshake(port, 1);
    port->ops.Dump(port, CollectDumpLine);
    ASSERT_EQ(DumpLines().size(), 10u);
    EXPECT_EQ(DumpLines()[1], "Port type:  MS Windows  DCB BaudRate: 261888  ByteSize: 7  Parity: 1");
    EXPECT_EQ(DumpLines()[2], "StopBits: 2 fBinary: 1  fRtsControl: 2");
    EXPECT_EQ(DumpLines()[3], "Parity: 0  OutCtsFlow: 1  OutDsrFlow: 0  DtrControl: 1  OutX: 0  InX: 0");
    EXPECT_EQ(DumpLines()[6], "RX count/free:     7/1043   TX count/free: 12345/-11295  BREAK/FE/OE/PE: 1001");
    EXPECT_EQ(DumpLines()[7], "CE_BREAK:1  CE_FRAME:0  CE_MODE:0 CE_OVERRUN:0");
    EXPECT_EQ(DumpLines()[8], "CE_RXOVER:0 CE_RXPARITY:1 CE_TXFULL:0  CTS/DSR/RI/CD: 0101");
}

// --- A device that vanished ---------------------------------------------------------

using VanishedDevice = ComPort;

TEST_F(VanishedDevice, EveryOperationReturnsAStatusAndNothingCrashes) {
    device->vanished = true;
    unsigned char buffer[8];
    EXPECT_EQ(port->ops.GetChar(port), kBufferEmpty);
    EXPECT_EQ(port->ops.PeekChar(port), kBufferEmpty);
    EXPECT_EQ(port->ops.Read(port, buffer, 8), kBufferEmpty);
    EXPECT_EQ(port->ops.Write(port, buffer, 8), kBufferFull);
    EXPECT_EQ(port->ops.PutChar(port, 'A'), kBufferFull);
    EXPECT_EQ(port->ops.SetLine(port, 9600, 'N', 8, 1), kGeneralError);
    EXPECT_EQ(port->ops.XonXoffHandshake(port, 1), kGeneralError);
    EXPECT_EQ(port->ops.RtsCtsHandshake(port, 1), kGeneralError);
    EXPECT_EQ(port->ops.DtrDsrHandshake(port, 1), kGeneralError);
    EXPECT_EQ(port->ops.SetDtr(port, 1), 0);
    EXPECT_EQ(port->ops.SetRts(port, 1), 0);
    EXPECT_EQ(port->ops.TxFree(port), 0);
    EXPECT_EQ(port->ops.TxCount(port), 0);
    EXPECT_EQ(port->ops.RxFree(port), 0);
    EXPECT_EQ(port->ops.RxCount(port), 0);
    EXPECT_EQ(port->ops.PurgeTx(port), kGeneralError);
    EXPECT_EQ(port->ops.SendBreak(port, 0), 0);
    EXPECT_EQ(port->ops.ModemStatus(port), 0);
    EXPECT_EQ(port->ops.LineStatus(port), 0);
    EXPECT_EQ(port->ops.ClearLineErrors(port), 0);
    EXPECT_EQ(port->ops.Dump(port, CollectDumpLine), 0);
    EXPECT_EQ(DumpLines().size(), 10u);
    EXPECT_EQ(ComEventMask(port), 0u);
    EXPECT_EQ(port->ops.Close(port), 0);
    EXPECT_EQ(LivePorts(), nullptr);
}

}  // namespace
}  // namespace kestar::serial::testing
