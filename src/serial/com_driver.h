// The COM driver: a port object standing for one serial device ("\\.\COMn"),
// opened overlapped, with the driver's 22 operations in its table.
#pragma once

#include "platform/serial.h"
#include "serial/port.h"

#include <cstdint>

namespace kestar::serial {

constexpr std::int32_t kComDriverTag = 15;

// A write the system has not completed owns its overlapped record and a copy of
// its bytes: the system reads the bytes and writes the record until it completes
// the write, long after Write has returned. capacity bytes follow the record.
struct WriteRecord {
    platform::Overlapped overlapped;
    WriteRecord* next;
    std::uint32_t length;    // bytes handed to the system
    std::uint32_t capacity;  // bytes the copy can hold
    unsigned char* bytes() { return reinterpret_cast<unsigned char*>(this + 1); }
};

// The driver's per-port record, reached through Port::driverData.
struct ComDriverData {
    std::uint32_t rxBufferSize;
    std::uint32_t txBufferSize;
    platform::Dcb dcb;         // as last prepared; always written to the device whole
    std::uint32_t lineErrors;  // OR of every ClearCommError error word since ClearLineErrors
    std::uint32_t savedEventMask;
    std::uint32_t uartWord;    // never set by this driver
    platform::Handle deviceHandle;
    platform::CommTimeouts savedTimeouts;
    platform::Overlapped overlapped;  // the record of every Read, with its own event; no write shares it
    WriteRecord* heldWrites;          // writes the system still holds, oldest first
    WriteRecord* lastHeldWrite;
    std::uint32_t heldWriteCount;
    std::uint32_t heldWriteBytes;     // bytes of the held writes
    WriteRecord* spareWrites;         // completed records kept for the next writes
    std::uint32_t spareWriteCount;
};

// A port for the zero-based COM index, never null: working (status 0), or with
// default operations and a failing status, or the fallback port.
Port* CreateComPort(std::int32_t comIndex, std::int32_t baudRate, char parity, std::uint8_t dataBits,
                    std::int32_t stopBits);

// The opening step of CreateComPort; 0 or a status code, also stored in status.
std::int32_t OpenComDevice(Port* port, std::int32_t comIndex);

// Slot 5: the line settings of line_settings.h; data bits pass unchecked.
std::int32_t ComSetLine(Port* port, std::int32_t baudRate, char parity, std::uint8_t dataBits, std::int32_t stopBits);

// The refusal SetLine would give the settings before writing to the device, in
// SetLine's order (baud rate, parity, stop bits): 0 or -25, -26, -28. Data bits
// are left to the device, which may still refuse the control block.
std::int32_t CheckLineSettings(std::int32_t baudRate, char parity, std::int32_t stopBits);

// Slot 4: lowers DTR and RTS, closes the device, frees the driver data and the port.
std::int32_t ComClose(Port* port);

// The device's current event mask; 0 when the system cannot say.
std::uint32_t ComEventMask(Port* port);

// The device handle; the invalid handle value for a port without driver data.
platform::Handle ComHandle(Port* port);

// The driver's operations for slots 1 to 22 (Spare and ClearStatus keep their defaults).
void InstallComOperations(PortOps& ops);

}  // namespace kestar::serial
