#include "serial/port.h"

#include "serial/status_codes.h"

#include "platform/memory.h"
#include "platform/message_queue.h"
#include "platform/module_unload.h"
#include "platform/serial.h"
#include "platform/system.h"

namespace kestar::serial {
namespace {

Port* livePorts = nullptr;
bool closeAllRegistered = false;
IdleRoutine idleRoutine = PumpMessages;
std::uint32_t defaultRxBufferSize = 1050;
std::uint32_t defaultTxBufferSize = 1050;
Port fallbackPort{};

constexpr std::uint32_t kMsPerTick = 55;

std::int32_t NotSupported(Port* port) {
    port->status = kNotSupported;
    return kNotSupported;
}
std::int32_t NotSupported1(Port* port, std::int32_t) { return NotSupported(port); }
std::int32_t DefaultSetLine(Port* port, std::int32_t, char, std::uint8_t, std::int32_t) { return NotSupported(port); }
std::int32_t DefaultWrite(Port* port, const void*, std::uint32_t) { return NotSupported(port); }
std::int32_t DefaultRead(Port* port, void*, std::uint32_t) { return NotSupported(port); }

std::int32_t DefaultDump(Port* port, DumpOutput output) {
    if (output != nullptr) {
        output("Port dump not supported for this driver");
        output("");
    }
    return NotSupported(port);
}

std::int32_t DefaultClose(Port* port) {
    ReleasePort(port);
    return kStatusOk;
}

void DefaultClearStatus(Port* port) { port->status = kStatusOk; }

constexpr PortOps kDefaultOps{
    NotSupported,  NotSupported,  NotSupported1, DefaultClose,  DefaultSetLine, NotSupported1,
    NotSupported1, NotSupported1, NotSupported1, NotSupported1, NotSupported,   NotSupported,
    NotSupported,  NotSupported,  NotSupported,  DefaultWrite,  DefaultRead,    DefaultDump,
    NotSupported1, NotSupported,  NotSupported,  NotSupported,  NotSupported1,  DefaultClearStatus};

bool IsLive(const Port* port) {
    for (const Port* p = livePorts; p != nullptr; p = p->next) {
        if (p == port) return true;
    }
    return false;
}

bool ValidPortIndex(std::int32_t index) { return index >= 0 && index < kPortIndexCount; }

// Milliseconds since start, correct across the wrap of the 32-bit tick count.
std::uint32_t Elapsed(std::uint32_t start) { return platform::System().GetTickCount() - start; }

}  // namespace

void InitPort(Port* port) {
    if (!closeAllRegistered) {
        closeAllRegistered = true;
        platform::RunAtUnload(CloseAllPorts);
    }
    // A port inserted twice would become its own successor and the list endless.
    if (!IsLive(port)) {
        port->next = livePorts;
        livePorts = port;
    }
    port->ops = kDefaultOps;
}

void ReleasePort(Port* port) {
    for (Port** link = &livePorts; *link != nullptr; link = &(*link)->next) {
        if (*link == port) {
            *link = port->next;
            break;
        }
    }
    // The fallback port is static and shared by every caller that received it.
    if (port == &fallbackPort) {
        port->next = nullptr;
        return;
    }
    FreeBlock(port);
}

void CloseAllPorts() {
    while (livePorts != nullptr) {
        Port* port = livePorts;
        Port* next = port->next;
        port->ops.Close(port);
        // A Close that left its port in the list must not keep this loop going.
        if (livePorts == port) livePorts = next;
    }
}

Port* FallbackPort() {
    InitPort(&fallbackPort);
    fallbackPort.comIndex = -1;
    fallbackPort.driverData = nullptr;
    fallbackPort.driverTag = -1;
    fallbackPort.status = kOutOfMemory;
    return &fallbackPort;
}

std::int32_t MapSystemError() {
    switch (static_cast<std::int32_t>(platform::Serial().GetLastError())) {
        case 2:
        case 3:
        case -10:
            return kNo8250;
        case 5:
        case -2:
            return kPortInUse;
        case -12:
            return kIllegalBaudRate;
        case -11:
            return kIllegalWordLength;
        case -4:
            return kOutOfMemory;
        case -1:
            return kInvalidPort;
        default:
            return kGeneralError;
    }
}

const char* StatusMessage(std::int32_t code) { return StatusRow(code).text; }

void DelayTicks(std::int32_t ticks) {
    if (ticks <= 0) return;
    const std::uint64_t wanted = static_cast<std::uint64_t>(ticks) * kMsPerTick;
    // Elapsed time is measured modulo 2^32, so no wait can be longer than that.
    const std::uint32_t duration = wanted > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(wanted);
    const std::uint32_t start = platform::System().GetTickCount();
    while (Elapsed(start) < duration) idleRoutine(nullptr);
}

std::int32_t DelayMs(Port* port, std::int32_t milliseconds) {
    if (milliseconds <= 0) return kStatusOk;
    const std::uint32_t duration = static_cast<std::uint32_t>(milliseconds);
    const std::uint32_t start = platform::System().GetTickCount();
    while (Elapsed(start) < duration) {
        const std::int32_t result = idleRoutine(port);
        if (result < 0) return result;
    }
    return kStatusOk;
}

std::int32_t PumpMessages(Port*) {
    platform::Msg msg{};
    const platform::MessageOps& messages = platform::Messages();
    while (messages.PeekMessageA(&msg, nullptr, 0, 0, platform::kPmRemove)) {
        messages.TranslateMessage(&msg);
        messages.DispatchMessageA(&msg);
    }
    return kStatusOk;
}

void SetIdleRoutine(IdleRoutine routine) { idleRoutine = routine != nullptr ? routine : PumpMessages; }
IdleRoutine CurrentIdleRoutine() { return idleRoutine; }

void SetDefaultBufferSizes(std::uint32_t receiveSize, std::uint32_t transmitSize) {
    defaultRxBufferSize = receiveSize;
    defaultTxBufferSize = transmitSize;
}
std::uint32_t DefaultRxBufferSize() { return defaultRxBufferSize; }
std::uint32_t DefaultTxBufferSize() { return defaultTxBufferSize; }

Port* LivePorts() { return livePorts; }

void* AllocateBlock(std::size_t size) { return platform::Memory().calloc(1, size); }
void FreeBlock(void* block) { platform::Memory().free(block); }

void* AllocatePortBlock(std::int32_t index, std::size_t size) {
    return ValidPortIndex(index) ? AllocateBlock(size) : nullptr;
}

void FreePortBlock(std::int32_t index, void* block) {
    if (ValidPortIndex(index)) FreeBlock(block);
}

void FreePortBlockIfAny(std::int32_t index, void* block) {
    if (ValidPortIndex(index) && block != nullptr) FreeBlock(block);
}

}  // namespace kestar::serial
