// The COM driver's life cycle: creation, opening, line settings and closing.
#include "serial/com_driver.h"

#include "platform/debug_trace.h"
#include "platform/system.h"
#include "serial/com_write_records.h"
#include "serial/line_settings.h"

#include <cstdio>

namespace kestar::serial {
namespace {

using platform::Serial;

constexpr std::uint32_t kRefusedPlatformBit = 0x80000000u;
constexpr std::uint32_t kRefusedMajorVersion = 3;
constexpr char kComNameFormat[] = "\\\\.\\COM%d";
constexpr std::size_t kComNameSize = 24;

ComDriverData* Data(Port* port) { return static_cast<ComDriverData*>(port->driverData); }

// A port whose device never opened carries driver data but no device; its Close
// gives both records back.
std::int32_t CloseUnopened(Port* port) {
    FreeBlock(port->driverData);
    port->driverData = nullptr;
    ReleasePort(port);
    return kStatusOk;
}

bool PlatformRefused() {
    const std::uint32_t version = platform::System().GetVersion();
    return (version & kRefusedPlatformBit) != 0 && (version & 0xFFu) == kRefusedMajorVersion;
}

}  // namespace

Port* CreateComPort(std::int32_t comIndex, std::int32_t baudRate, char parity, std::uint8_t dataBits,
                    std::int32_t stopBits) {
    auto* port = static_cast<Port*>(AllocateBlock(sizeof(Port)));
    if (port == nullptr) return FallbackPort();
    InitPort(port);
    if (PlatformRefused()) {
        port->status = kNotSupported;
        return port;
    }
    auto* data = static_cast<ComDriverData*>(AllocateBlock(sizeof(ComDriverData)));
    if (data == nullptr) {
        ReleasePort(port);
        return FallbackPort();
    }
    port->driverData = data;
    port->comIndex = comIndex;
    port->driverTag = kComDriverTag;
    if (OpenComDevice(port, comIndex) < 0) {
        port->ops.Close = CloseUnopened;
        return port;
    }
    ComSetLine(port, baudRate, parity, dataBits, stopBits);
    InstallComOperations(port->ops);
    return port;
}

std::int32_t OpenComDevice(Port* port, std::int32_t comIndex) {
    ComDriverData* data = Data(port);
    if (data == nullptr) {
        port->status = kInvalidPort;
        return kInvalidPort;
    }
    data->rxBufferSize = DefaultRxBufferSize();
    data->txBufferSize = DefaultTxBufferSize();
    data->lineErrors = 0;
    data->deviceHandle = platform::InvalidHandleValue();

    char name[kComNameSize];
    std::snprintf(name, sizeof name, kComNameFormat, static_cast<int>(static_cast<std::int64_t>(comIndex) + 1));
    const platform::SerialOps& serial = Serial();
    platform::Handle handle =
        serial.CreateFileA(name, platform::kGenericRead | platform::kGenericWrite, 0, nullptr,
                           platform::kOpenExisting, platform::kFileFlagOverlapped, nullptr);
    port->status = kStatusOk;
    if (handle == platform::InvalidHandleValue()) {
        port->status = MapSystemError();
        return port->status;
    }
    // Read waits for its own record; the device handle cannot tell which of
    // several transfers in flight completed, so the record carries its own event.
    // Without one a read could count as complete while the system still fills its
    // record: the open fails and the device is let go.
    data->overlapped.hEvent = serial.CreateEventA(nullptr, 1, 0, nullptr);
    if (data->overlapped.hEvent == nullptr) {
        port->status = MapSystemError();
        serial.CloseHandle(handle);
        return port->status;
    }
    data->deviceHandle = handle;

    // None of these results is examined: SetLine writes the control block and
    // reports what the device refuses.
    serial.SetupComm(handle, data->rxBufferSize, data->txBufferSize);
    serial.GetCommMask(handle, &data->savedEventMask);
    serial.SetCommMask(handle, 0);
    serial.GetCommState(handle, &data->dcb);
    platform::Dcb& dcb = data->dcb;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fNull = 0;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = static_cast<std::uint16_t>(data->rxBufferSize / 4);
    dcb.XoffLim = static_cast<std::uint16_t>(data->rxBufferSize / 4);
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fDtrControl = platform::kDtrControlEnable;
    dcb.fRtsControl = platform::kRtsControlEnable;

    serial.GetCommTimeouts(handle, &data->savedTimeouts);
    // A read returns at once with whatever is queued; writes have no time-out.
    platform::CommTimeouts immediate{platform::kMaxDword, 0, 0, 0, 0};
    serial.SetCommTimeouts(handle, &immediate);
    return port->status;
}

std::int32_t ComSetLine(Port* port, std::int32_t baudRate, char parity, std::uint8_t dataBits, std::int32_t stopBits) {
    ComDriverData* data = Data(port);
    std::uint32_t deviceRate = 0;
    if (!DeviceBaudRate(baudRate, deviceRate)) {
        port->status = kIllegalBaudRate;
        return kIllegalBaudRate;
    }
    data->dcb.BaudRate = deviceRate;
    data->dcb.ByteSize = dataBits;

    std::uint8_t parityCode = 0;
    if (!ParityCode(parity, parityCode)) {
        port->status = kIllegalParity;
        return kIllegalParity;
    }
    data->dcb.Parity = parityCode;

    std::uint8_t stopCode = 0;
    if (!StopBitsCode(stopBits, stopCode)) {
        port->status = kIllegalStopBits;
        return kIllegalStopBits;
    }
    data->dcb.StopBits = stopCode;

    if (!Serial().SetCommState(data->deviceHandle, &data->dcb)) port->status = MapSystemError();
    return port->status;
}

std::int32_t CheckLineSettings(std::int32_t baudRate, char parity, std::int32_t stopBits) {
    std::uint32_t deviceRate = 0;
    std::uint8_t code = 0;
    if (!DeviceBaudRate(baudRate, deviceRate)) return kIllegalBaudRate;
    if (!ParityCode(parity, code)) return kIllegalParity;
    if (!StopBitsCode(stopBits, code)) return kIllegalStopBits;
    return kStatusOk;
}

std::int32_t ComClose(Port* port) {
    ComDriverData* data = Data(port);
    const platform::SerialOps& serial = Serial();
    platform::Handle handle = data->deviceHandle;
    const CloseSettlement settled = SettleWritesAtClose(data);
    const int comNumber = static_cast<int>(static_cast<std::int64_t>(port->comIndex) + 1);
    if (settled.abortedWrites != 0) {
        platform::Trace("COM%d: %u writes (%u bytes) not sent within %u ms; aborted at close\n", comNumber,
                        settled.abortedWrites, settled.abortedBytes, kCloseWaitMs - kCloseAbortWaitMs);
    }
    if (settled.leftHeld != 0) {
        platform::Trace("COM%d: %u writes still held by the system at close; their records stay allocated\n",
                        comNumber, settled.leftHeld);
    }
    serial.EscapeCommFunction(handle, platform::kClrDtr);
    serial.EscapeCommFunction(handle, platform::kClrRts);
    const bool closed = serial.CloseHandle(handle) != 0;
    const std::int32_t result = closed ? kStatusOk : MapSystemError();
    if (data->overlapped.hEvent != nullptr) serial.CloseHandle(data->overlapped.hEvent);
    FreeBlock(data);
    ReleasePort(port);
    return result;
}

std::uint32_t ComEventMask(Port* port) {
    ComDriverData* data = Data(port);
    if (data == nullptr) return 0;
    std::uint32_t mask = 0;
    if (!Serial().GetCommMask(data->deviceHandle, &mask)) return 0;
    return mask;
}

platform::Handle ComHandle(Port* port) {
    ComDriverData* data = Data(port);
    return data != nullptr ? data->deviceHandle : platform::InvalidHandleValue();
}

}  // namespace kestar::serial
