// The serial device: the Windows comm calls and their records, in Windows terms.
//
// The COM driver is written once above this table. Windows: the entries are the
// Win32 calls and the records match the system's own (checked at compile time).
// POSIX: termios stand-ins with the same results and the same last-error values
// ("\\.\COMn" opens $KESTAR_DEVICES/comn, else /dev/ttyS<n-1>). A test installs
// its own table, such as the simulated UART.
#pragma once

#include "platform/scoped_ops.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestar::platform {

using Handle = void*;
using Bool = int;  // the system's BOOL: non-zero is success

// NOLINTNEXTLINE(performance-no-int-to-ptr): INVALID_HANDLE_VALUE is the value -1 by definition.
inline Handle InvalidHandleValue() { return reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1)); }

// Device control block; same members, order and widths as the system's DCB.
struct Dcb {
    std::uint32_t DCBlength;
    std::uint32_t BaudRate;
    std::uint32_t fBinary : 1;
    std::uint32_t fParity : 1;
    std::uint32_t fOutxCtsFlow : 1;
    std::uint32_t fOutxDsrFlow : 1;
    std::uint32_t fDtrControl : 2;
    std::uint32_t fDsrSensitivity : 1;
    std::uint32_t fTXContinueOnXoff : 1;
    std::uint32_t fOutX : 1;
    std::uint32_t fInX : 1;
    std::uint32_t fErrorChar : 1;
    std::uint32_t fNull : 1;
    std::uint32_t fRtsControl : 2;
    std::uint32_t fAbortOnError : 1;
    std::uint32_t fDummy2 : 17;
    std::uint16_t wReserved;
    std::uint16_t XonLim;
    std::uint16_t XoffLim;
    std::uint8_t ByteSize;
    std::uint8_t Parity;
    std::uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    std::uint16_t wReserved1;
};

struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout;
    std::uint32_t ReadTotalTimeoutMultiplier;
    std::uint32_t ReadTotalTimeoutConstant;
    std::uint32_t WriteTotalTimeoutMultiplier;
    std::uint32_t WriteTotalTimeoutConstant;
};

// The record the system holds while an overlapped transfer is in progress.
struct Overlapped {
    std::uintptr_t Internal;  // kStatusPending while the system holds the record
    std::uintptr_t InternalHigh;
    std::uint32_t Offset;
    std::uint32_t OffsetHigh;
    Handle hEvent;
};

struct ComStat {
    std::uint32_t fCtsHold : 1;
    std::uint32_t fDsrHold : 1;
    std::uint32_t fRlsdHold : 1;
    std::uint32_t fXoffHold : 1;
    std::uint32_t fXoffSent : 1;
    std::uint32_t fEof : 1;
    std::uint32_t fTxim : 1;
    std::uint32_t fReserved : 25;
    std::uint32_t cbInQue;
    std::uint32_t cbOutQue;
};

// Access, sharing and creation values of CreateFileA.
constexpr std::uint32_t kGenericRead = 0x80000000u;
constexpr std::uint32_t kGenericWrite = 0x40000000u;
constexpr std::uint32_t kOpenExisting = 3;
constexpr std::uint32_t kFileFlagOverlapped = 0x40000000u;
constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;
constexpr std::uintptr_t kStatusPending = 0x103;
constexpr std::uintptr_t kStatusCancelled = 0xC0000120;  // a transfer ended by CancelIo or a purge

// DCB values.
constexpr std::uint8_t kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3, kSpaceParity = 4;
constexpr std::uint8_t kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2;
constexpr std::uint32_t kDtrControlDisable = 0, kDtrControlEnable = 1, kDtrControlHandshake = 2;
constexpr std::uint32_t kRtsControlDisable = 0, kRtsControlEnable = 1, kRtsControlHandshake = 2, kRtsControlToggle = 3;

// EscapeCommFunction.
constexpr std::uint32_t kSetXoff = 1, kSetXon = 2, kSetRts = 3, kClrRts = 4, kSetDtr = 5, kClrDtr = 6, kSetBreak = 8,
                        kClrBreak = 9;

// PurgeComm.
constexpr std::uint32_t kPurgeTxAbort = 0x1, kPurgeRxAbort = 0x2, kPurgeTxClear = 0x4, kPurgeRxClear = 0x8;

// Error word of ClearCommError.
constexpr std::uint32_t kCeRxOver = 0x1, kCeOverrun = 0x2, kCeRxParity = 0x4, kCeFrame = 0x8, kCeBreak = 0x10,
                        kCeTxFull = 0x100, kCeMode = 0x8000;

// The queue counts ClearCommErrorFor asks for.
constexpr std::uint32_t kInQueue = 0x1, kOutQueue = 0x2, kBothQueues = kInQueue | kOutQueue;

// Modem-status word.
constexpr std::uint32_t kMsCtsOn = 0x10, kMsDsrOn = 0x20, kMsRingOn = 0x40, kMsRlsdOn = 0x80;

// System error values (GetLastError) that the stand-ins and fakes also use.
constexpr std::uint32_t kErrorFileNotFound = 2, kErrorPathNotFound = 3, kErrorAccessDenied = 5,
                        kErrorInvalidHandle = 6, kErrorGenFailure = 31, kErrorNotSupported = 50,
                        kErrorInvalidParameter = 87, kErrorOperationAborted = 995, kErrorIoIncomplete = 996,
                        kErrorIoPending = 997, kErrorDeviceNotConnected = 1167;

struct SerialOps {
    Handle (*CreateFileA)(const char* name, std::uint32_t access, std::uint32_t shareMode, void* security,
                          std::uint32_t creation, std::uint32_t flags, Handle templateFile);
    Bool (*SetupComm)(Handle device, std::uint32_t inQueue, std::uint32_t outQueue);
    Bool (*GetCommState)(Handle device, Dcb* dcb);
    Bool (*SetCommState)(Handle device, Dcb* dcb);
    Bool (*GetCommTimeouts)(Handle device, CommTimeouts* timeouts);
    Bool (*SetCommTimeouts)(Handle device, CommTimeouts* timeouts);
    Bool (*GetCommMask)(Handle device, std::uint32_t* mask);
    Bool (*SetCommMask)(Handle device, std::uint32_t mask);
    Bool (*ClearCommError)(Handle device, std::uint32_t* errors, ComStat* stat);
    // ClearCommError asked for some of the queue counts only (kInQueue, kOutQueue or
    // kBothQueues): a count not asked for may be left 0; the error word is the same.
    // Where one question of the system gives both counts, ClearCommErrorWhole.
    Bool (*ClearCommErrorFor)(Handle device, std::uint32_t queues, std::uint32_t* errors, ComStat* stat);
    Bool (*ReadFile)(Handle device, void* buffer, std::uint32_t length, std::uint32_t* read, Overlapped* overlapped);
    Bool (*WriteFile)(Handle device, const void* buffer, std::uint32_t length, std::uint32_t* written,
                      Overlapped* overlapped);
    Bool (*GetOverlappedResult)(Handle device, Overlapped* overlapped, std::uint32_t* transferred, Bool wait);
    Bool (*PurgeComm)(Handle device, std::uint32_t flags);
    Bool (*EscapeCommFunction)(Handle device, std::uint32_t function);
    Bool (*SetCommBreak)(Handle device);
    Bool (*ClearCommBreak)(Handle device);
    Bool (*GetCommModemStatus)(Handle device, std::uint32_t* modemStatus);
    Bool (*PeekNamedPipe)(Handle device, void* buffer, std::uint32_t size, std::uint32_t* read,
                          std::uint32_t* available, std::uint32_t* leftThisMessage);
    Bool (*CloseHandle)(Handle device);
    std::uint32_t (*GetLastError)();
    // A manual-reset event for an overlapped record (CreateEventA); closed with CloseHandle.
    Handle (*CreateEventA)(void* security, Bool manualReset, Bool initialState, const char* name);
    // Ends every transfer this thread started on the device; each completes with
    // kErrorOperationAborted.
    Bool (*CancelIo)(Handle device);
};

// The table in use.
SerialOps& Serial();

// The system's own table.
SerialOps SerialDefaults();

// Replaces the table for its lifetime and restores the previous one.
using ScopedSerialOps = ScopedOps<SerialOps, Serial>;

// ClearCommErrorFor by the table's own ClearCommError, which fills both counts:
// the slot's entry on Windows, and in tables whose device answers for both at once.
Bool ClearCommErrorWhole(Handle device, std::uint32_t queues, std::uint32_t* errors, ComStat* stat);

// The highest COM number "\\.\COMn" names that the POSIX stand-in opens.
constexpr int kHighestComNumber = 255;

// What "\\.\COMn" stands for on this system, for people reading a diagnosis.
// POSIX: the device file the open takes ($KESTAR_DEVICES/comn when that link
// exists, else /dev/ttyS<n-1>). Windows: the target of the DOS device name COMn
// (QueryDosDeviceA), empty when the name is not defined.
std::string ComDeviceTarget(int number);

// Whether this system's serial driver takes the rate of a device control block.
// POSIX: the rates termios names. Windows: any rate (the device may still refuse it).
bool SerialDriverTakesRate(std::uint32_t rate);

}  // namespace kestar::platform
