// The port object: one serial port reached through its table of 24 operations,
// the status codes and their messages, the live-port list, the waits with their
// replaceable idle routine, the default queue sizes and the port layer's memory.
//
// The layer has no locks: it expects the one thread that drives the ports.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestar::serial {

// Status codes: 0 success, negative failure. The codes the port layer and the COM
// driver produce are named; every code has a message (StatusMessage).
constexpr std::int32_t kStatusOk = 0;
constexpr std::int32_t kGeneralError = -1;
constexpr std::int32_t kInvalidPort = -2;
constexpr std::int32_t kPortInUse = -3;
constexpr std::int32_t kInvalidBufferSize = -4;
constexpr std::int32_t kOutOfMemory = -5;
constexpr std::int32_t kBufferEmpty = -8;
constexpr std::int32_t kBufferFull = -9;
constexpr std::int32_t kNo8250 = -14;
constexpr std::int32_t kUserAbort = -16;
constexpr std::int32_t kNotSupported = -24;
constexpr std::int32_t kIllegalBaudRate = -25;
constexpr std::int32_t kIllegalParity = -26;
constexpr std::int32_t kIllegalWordLength = -27;
constexpr std::int32_t kIllegalStopBits = -28;
constexpr std::int32_t kOverflow = -31;
constexpr std::int32_t kUserDefinedError = -75;

struct Port;

// Receives one line of text without a terminator.
using DumpOutput = void (*)(const char* line);

// Runs while a wait spins; port is null when the wait belongs to no port. A
// negative result ends a DelayMs wait early.
using IdleRoutine = std::int32_t (*)(Port* port);

// The 24 operations in their slot order.
struct PortOps {
    std::int32_t (*GetChar)(Port* port);
    std::int32_t (*PeekChar)(Port* port);
    std::int32_t (*PutChar)(Port* port, std::int32_t value);
    std::int32_t (*Close)(Port* port);
    std::int32_t (*SetLine)(Port* port, std::int32_t baudRate, char parity, std::uint8_t dataBits,
                            std::int32_t stopBits);
    std::int32_t (*XonXoffHandshake)(Port* port, std::int32_t on);
    std::int32_t (*RtsCtsHandshake)(Port* port, std::int32_t on);
    std::int32_t (*DtrDsrHandshake)(Port* port, std::int32_t on);
    std::int32_t (*SetDtr)(Port* port, std::int32_t on);
    std::int32_t (*SetRts)(Port* port, std::int32_t on);
    std::int32_t (*TxFree)(Port* port);
    std::int32_t (*TxCount)(Port* port);
    std::int32_t (*RxFree)(Port* port);
    std::int32_t (*RxCount)(Port* port);
    std::int32_t (*PurgeTx)(Port* port);
    std::int32_t (*Write)(Port* port, const void* source, std::uint32_t length);
    std::int32_t (*Read)(Port* port, void* destination, std::uint32_t length);
    std::int32_t (*Dump)(Port* port, DumpOutput output);
    std::int32_t (*SendBreak)(Port* port, std::int32_t milliseconds);
    std::int32_t (*ModemStatus)(Port* port);
    std::int32_t (*LineStatus)(Port* port);
    std::int32_t (*ClearLineErrors)(Port* port);
    std::int32_t (*Spare)(Port* port, std::int32_t argument);
    void (*ClearStatus)(Port* port);
};

struct Port {
    void* driverData;  // the driver's per-port record; null in the fallback port
    Port* next;        // live-port list
    std::int32_t comIndex;  // zero-based (0 is COM1); -1 in the fallback port
    std::int32_t status;
    std::int32_t driverTag;  // 15 for a COM port, -1 for the fallback port
    std::uint32_t transferCount;  // bytes moved by the last Read or Write
    PortOps ops;
};

// Registers CloseAllPorts for unload on the first call, links the port at the head
// of the live-port list (once: a port already there stays where it is) and
// installs the default operations.
void InitPort(Port* port);

// Unlinks the port if it is in the live-port list, then frees it (never the
// static fallback port).
void ReleasePort(Port* port);

// Closes every live port, newest first.
void CloseAllPorts();

// The static port handed out when memory runs out: default operations, status -5.
Port* FallbackPort();

// The status code for the system's last-error value.
std::int32_t MapSystemError();

// The message for a status code; "General Error" for any code without one.
const char* StatusMessage(std::int32_t code);

// Waits ticks x 55 ms, running the idle routine (its result is ignored).
void DelayTicks(std::int32_t ticks);

// Waits milliseconds on behalf of port; 0, or the idle routine's negative result.
std::int32_t DelayMs(Port* port, std::int32_t milliseconds);

// The default idle routine: dispatches the waiting thread's window messages.
std::int32_t PumpMessages(Port* port);

// Replaces the idle routine for later waits; nullptr restores PumpMessages.
void SetIdleRoutine(IdleRoutine routine);
IdleRoutine CurrentIdleRoutine();

// Queue sizes that later COM opens request (1050 and 1050 at load).
void SetDefaultBufferSizes(std::uint32_t receiveSize, std::uint32_t transmitSize);
std::uint32_t DefaultRxBufferSize();
std::uint32_t DefaultTxBufferSize();

// The head of the live-port list.
Port* LivePorts();

// The port layer's memory: zero-filled blocks.
void* AllocateBlock(std::size_t size);
void FreeBlock(void* block);

// Index-guarded forms for per-port blocks: nothing happens for an index outside
// 0 to kPortIndexCount - 1.
constexpr std::int32_t kPortIndexCount = 35;
void* AllocatePortBlock(std::int32_t index, std::size_t size);
void FreePortBlock(std::int32_t index, void* block);
void FreePortBlockIfAny(std::int32_t index, void* block);

}  // namespace kestar::serial
