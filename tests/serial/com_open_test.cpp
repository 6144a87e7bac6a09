// Creating, opening, line settings and closing of COM ports on the simulated UART.
#include "fakes/fake_tick_clock.h"
#include "platform/system.h"
#include "serial_fixture.h"

namespace kestar::serial::testing {
namespace {

using ComOpening = SerialTest;

TEST_F(ComOpening, OpensTheDeviceOverlappedWithNoSharing) {
    Port* port = OpenCom1();
    EXPECT_EQ(uart.lastOpenedName, "\\\\.\\COM1");
    EXPECT_EQ(uart.lastAccess, platform::kGenericRead | platform::kGenericWrite);
    EXPECT_EQ(uart.lastShare, 0u);
    EXPECT_EQ(uart.lastCreation, platform::kOpenExisting);
    EXPECT_EQ(uart.lastFlags, platform::kFileFlagOverlapped);
    EXPECT_EQ(port->comIndex, 0);
    EXPECT_EQ(port->driverTag, 15);
    EXPECT_EQ(ComHandle(port), static_cast<platform::Handle>(uart.Find(1)));
}

TEST_F(ComOpening, IndexNineOpensCom10) {
    uart.Device(10);
    Port* port = CreateComPort(9, 9600, 'N', 8, 1);
    EXPECT_EQ(port->status, 0);
    EXPECT_EQ(uart.lastOpenedName, "\\\\.\\COM10");
}

TEST_F(ComOpening, PreparesTheControlBlockAndKeepsWhatItDoesNotSet) {
    Port* port = OpenCom1();
    const platform::Dcb& dcb = uart.Find(1)->lastDcb;
    EXPECT_EQ(dcb.XonLim, 262);
    EXPECT_EQ(dcb.XoffLim, 262);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.EofChar, 0);
    EXPECT_EQ(dcb.EvtChar, 0);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fDtrControl, platform::kDtrControlEnable);
    EXPECT_EQ(dcb.fRtsControl, platform::kRtsControlEnable);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    // As the device reported them.
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fAbortOnError, 1u);
    EXPECT_EQ(dcb.ErrorChar, '?');
    // From SetLine.
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, platform::kNoParity);
    EXPECT_EQ(dcb.StopBits, platform::kOneStopBit);
    EXPECT_EQ(uart.Find(1)->setCommStateCalls, 1);
    EXPECT_EQ(Data(port).lineErrors, 0u);
}

TEST_F(ComOpening, SavesMaskAndTimeoutsAndMakesReadsReturnAtOnce) {
    Port* port = OpenCom1();
    FakeComDevice& device = *uart.Find(1);
    EXPECT_EQ(Data(port).savedEventMask, 0x1FFu);
    EXPECT_EQ(device.eventMask, 0u);
    EXPECT_EQ(Data(port).savedTimeouts.ReadTotalTimeoutConstant, 3u);
    EXPECT_EQ(device.timeouts.ReadIntervalTimeout, platform::kMaxDword);
    EXPECT_EQ(device.timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(device.timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(device.timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(device.timeouts.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(device.setupIn, 1050u);
    EXPECT_EQ(device.setupOut, 1050u);
    EXPECT_EQ(port->ops.GetChar(port), kBufferEmpty);
    EXPECT_EQ(ComEventMask(port), 0u);
}

TEST_F(ComOpening, DefaultQueueSizesApplyToLaterOpensOnly) {
    Port* before = OpenCom1();
    SetDefaultBufferSizes(4096, 512);
    uart.Device(2);
    Port* after = CreateComPort(1, 9600, 'N', 8, 1);
    EXPECT_EQ(uart.Find(2)->setupIn, 4096u);
    EXPECT_EQ(uart.Find(2)->setupOut, 512u);
    EXPECT_EQ(uart.Find(2)->lastDcb.XonLim, 1024);
    EXPECT_EQ(uart.Find(2)->lastDcb.XoffLim, 1024);
    EXPECT_EQ(Data(after).rxBufferSize, 4096u);
    EXPECT_EQ(Data(before).rxBufferSize, 1050u);
    EXPECT_EQ(Data(before).txBufferSize, 1050u);
}

TEST_F(ComOpening, MissingDeviceGivesNo8250AndDefaultOperations) {
    Port* port = CreateComPort(4, 9600, 'N', 8, 1);
    EXPECT_EQ(port->status, kNo8250);
    EXPECT_STREQ(StatusMessage(port->status), "No 8250");
    EXPECT_EQ(port->ops.GetChar(port), kNotSupported);
    EXPECT_TRUE(IsLivePort(port));
}

TEST_F(ComOpening, DeviceHeldElsewhereGivesPortInUse) {
    uart.Device(3).inUse = true;
    Port* port = CreateComPort(2, 9600, 'N', 8, 1);
    EXPECT_EQ(port->status, kPortInUse);
}

TEST_F(ComOpening, FailedOpenGivesBackBothRecordsOnClose) {
    ScopedHeapCounter heap;
    Port* port = CreateComPort(4, 9600, 'N', 8, 1);
    ASSERT_EQ(port->status, kNo8250);
    EXPECT_EQ(HeapCounter::allocations, 2);
    EXPECT_EQ(port->ops.Close(port), 0);
    EXPECT_EQ(HeapCounter::frees, 2);
    EXPECT_EQ(LivePorts(), nullptr);
}

// Without its own event a read's record would be waited for on the device handle,
// which every completing write also signals: a read could then count as complete
// while the system still fills its record. The open fails instead, the device is
// closed again and both records come back at Close.
platform::Handle NoEvent(void*, platform::Bool, platform::Bool, const char*) {
    FakeUart::Current()->lastError = 1450;  // ERROR_NO_SYSTEM_RESOURCES
    return nullptr;
}

TEST_F(ComOpening, AnEventThatCannotBeMadeFailsTheOpenAndClosesTheDevice) {
    uart.Device(1);
    platform::SerialOps ops = platform::Serial();
    ops.CreateEventA = NoEvent;
    platform::ScopedSerialOps noEvent(ops);
    ScopedHeapCounter heap;
    Port* port = CreateComPort(0, 9600, 'N', 8, 1);
    EXPECT_LT(port->status, 0);
    EXPECT_EQ(uart.openHandles, 0) << "the device is closed again";
    EXPECT_FALSE(uart.Find(1)->open);
    EXPECT_EQ(port->ops.GetChar(port), kNotSupported) << "no transfer reaches the device";
    EXPECT_EQ(port->ops.Close(port), 0);
    EXPECT_EQ(HeapCounter::frees, HeapCounter::allocations);
    EXPECT_EQ(LivePorts(), nullptr);
}

TEST_F(ComOpening, NoMemoryForThePortGivesTheFallbackPort) {
    uart.Device(1);
    ScopedHeapCounter heap;
    HeapCounter::failAllocation = 1;
    Port* port = CreateComPort(0, 9600, 'N', 8, 1);
    EXPECT_EQ(port->status, kOutOfMemory);
    EXPECT_EQ(port->comIndex, -1);
    EXPECT_EQ(uart.openHandles, 0);
}

TEST_F(ComOpening, NoMemoryForTheDriverDataReleasesThePortAndGivesTheFallback) {
    uart.Device(1);
    ScopedHeapCounter heap;
    HeapCounter::failAllocation = 2;
    Port* port = CreateComPort(0, 9600, 'N', 8, 1);
    EXPECT_EQ(port->status, kOutOfMemory);
    EXPECT_EQ(port->driverTag, -1);
    EXPECT_EQ(HeapCounter::frees, 1);
    EXPECT_EQ(LivePortCount(), 1);
    EXPECT_EQ(uart.openHandles, 0);
}

std::uint32_t OldPlatformVersion() { return 0x80000A03u; }
std::uint32_t NewPlatformVersion() { return 0x00000A03u; }

TEST_F(ComOpening, PlatformWithBit31AndMajorThreeIsRefused) {
    uart.Device(1);
    platform::SystemOps ops = platform::System();
    ops.GetVersion = OldPlatformVersion;
    {
        platform::ScopedSystemOps old(ops);
        Port* port = CreateComPort(0, 9600, 'N', 8, 1);
        EXPECT_EQ(port->status, kNotSupported);
        EXPECT_EQ(port->driverData, nullptr);
        EXPECT_EQ(uart.openHandles, 0);
        EXPECT_EQ(port->ops.Close(port), 0);
    }
    ops.GetVersion = NewPlatformVersion;  // major 3 without bit 31 is accepted
    platform::ScopedSystemOps nt(ops);
    EXPECT_EQ(CreateComPort(0, 9600, 'N', 8, 1)->status, 0);
}

// --- SetLine -----------------------------------------------------------------

class LineSettings : public SerialTest {
protected:
    void SetUp() override {
        SerialTest::SetUp();
        port = OpenCom1();
        device = uart.Find(1);
    }
    Port* port = nullptr;
    FakeComDevice* device = nullptr;
};

TEST_F(LineSettings, RatesUpTo57600PassAndOnlyTwoHigherRatesAreMapped) {
    EXPECT_EQ(port->ops.SetLine(port, 57600, 'N', 8, 1), 0);
    EXPECT_EQ(device->lastDcb.BaudRate, 57600u);
    EXPECT_EQ(port->ops.SetLine(port, 128000, 'N', 8, 1), 0);
    EXPECT_EQ(device->lastDcb.BaudRate, 130816u);
    EXPECT_EQ(port->ops.SetLine(port, 256000, 'N', 8, 1), 0);
    EXPECT_EQ(device->lastDcb.BaudRate, 261888u);
    const int writes = device->setCommStateCalls;
    for (std::int32_t rate : {57601, 115200, 230400}) {
        port->status = 0;
        EXPECT_EQ(port->ops.SetLine(port, rate, 'N', 8, 1), kIllegalBaudRate) << rate;
        EXPECT_EQ(port->status, kIllegalBaudRate);
        EXPECT_EQ(Data(port).dcb.BaudRate, 261888u) << "control block untouched";
    }
    EXPECT_EQ(device->setCommStateCalls, writes);
}

TEST_F(LineSettings, ParityLettersInEitherCase) {
    const struct {
        char letter;
        std::uint8_t parity;
    } cases[] = {{'E', 2}, {'e', 2}, {'O', 1}, {'o', 1}, {'N', 0}, {'n', 0}, {'M', 3}, {'m', 3}, {'S', 4}, {'s', 4}};
    for (const auto& c : cases) {
        EXPECT_EQ(port->ops.SetLine(port, 9600, c.letter, 8, 1), 0) << c.letter;
        EXPECT_EQ(device->lastDcb.Parity, c.parity) << c.letter;
    }
}

TEST_F(LineSettings, IllegalParityKeepsNewRateInTheBlockWithoutReachingTheDevice) {
    const int writes = device->setCommStateCalls;
    EXPECT_EQ(port->ops.SetLine(port, 4800, 'x', 7, 1), kIllegalParity);
    EXPECT_EQ(port->status, kIllegalParity);
    EXPECT_EQ(device->setCommStateCalls, writes);
    EXPECT_EQ(Data(port).dcb.BaudRate, 4800u);
    EXPECT_EQ(Data(port).dcb.ByteSize, 7);
    // The next switch that writes the block carries them to the device.
    port->ops.SetDtr(port, 1);
    EXPECT_EQ(device->lastDcb.BaudRate, 4800u);
}

TEST_F(LineSettings, StopBitsOneAndTwoOnly) {
    EXPECT_EQ(port->ops.SetLine(port, 9600, 'N', 8, 2), 0);
    EXPECT_EQ(device->lastDcb.StopBits, platform::kTwoStopBits);
    for (std::int32_t stop : {0, 3, -1}) {
        EXPECT_EQ(port->ops.SetLine(port, 9600, 'E', 8, stop), kIllegalStopBits) << stop;
    }
    EXPECT_EQ(device->lastDcb.Parity, platform::kNoParity);
    EXPECT_EQ(Data(port).dcb.Parity, platform::kEvenParity);
}

TEST_F(LineSettings, DataBitsPassUnchecked) {
    EXPECT_EQ(port->ops.SetLine(port, 9600, 'N', 3, 1), 0);
    EXPECT_EQ(device->lastDcb.ByteSize, 3);
}

TEST_F(LineSettings, RefusedControlBlockGivesTheMappedError) {
    device->refuseCommState = true;
    device->refuseError = 5;
    EXPECT_EQ(port->ops.SetLine(port, 9600, 'N', 8, 1), kPortInUse);
    EXPECT_EQ(port->status, kPortInUse);
}

TEST_F(LineSettings, SuccessLeavesAnEarlierStatusInPlace) {
    port->status = kBufferFull;
    EXPECT_EQ(port->ops.SetLine(port, 9600, 'N', 8, 1), kBufferFull);
}

TEST_F(ComOpening, RejectedLineSettingsStillCompleteThePort) {
    uart.Device(1);
    Port* port = CreateComPort(0, 115200, 'N', 8, 1);
    EXPECT_EQ(port->status, kIllegalBaudRate);
    uart.Find(1)->received = {0x41};
    EXPECT_EQ(port->ops.GetChar(port), 0x41);
}

TEST_F(ComOpening, CloseLowersDtrAndRtsBeforeClosingAndUnlinks) {
    ScopedHeapCounter heap;
    Port* port = OpenCom1();
    FakeComDevice& device = *uart.Find(1);
    device.calls.clear();
    EXPECT_EQ(port->ops.Close(port), 0);
    EXPECT_EQ(device.calls, (std::vector<std::string>{"EscapeCommFunction 6", "EscapeCommFunction 4", "CloseHandle"}));
    EXPECT_EQ(LivePorts(), nullptr);
    EXPECT_EQ(HeapCounter::frees, HeapCounter::allocations);
    EXPECT_EQ(uart.openHandles, 0);
}

TEST_F(ComOpening, FailedCloseHandleStillFreesAndReportsTheError) {
    ScopedHeapCounter heap;
    Port* port = OpenCom1();
    uart.Find(1)->closeFails = true;
    EXPECT_EQ(port->ops.Close(port), kGeneralError);
    EXPECT_EQ(HeapCounter::frees, HeapCounter::allocations);
    EXPECT_EQ(LivePorts(), nullptr);
}

TEST_F(ComOpening, CloseAllPortsClosesOpenDevices) {
    OpenCom1();
    uart.Device(2);
    CreateComPort(1, 9600, 'N', 8, 1);
    CreateComPort(7, 9600, 'N', 8, 1);  // failed open, still listed
    EXPECT_EQ(uart.openHandles, 2);
    CloseAllPorts();
    EXPECT_EQ(uart.openHandles, 0);
    EXPECT_EQ(LivePorts(), nullptr);
}

}  // namespace
}  // namespace kestar::serial::testing
