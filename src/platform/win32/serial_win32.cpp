// The serial table on Windows: the Win32 comm calls themselves. The module's
// records have the system's layout, so they are handed over in place; the
// overlapped record in particular must be the very memory the system holds.
#include "platform/serial.h"

#include <windows.h>

#include <cstddef>
#include <cstdio>

namespace kestar::platform {

static_assert(sizeof(Dcb) == sizeof(DCB));
static_assert(offsetof(Dcb, BaudRate) == offsetof(DCB, BaudRate));
static_assert(offsetof(Dcb, wReserved) == offsetof(DCB, wReserved));
static_assert(offsetof(Dcb, XonLim) == offsetof(DCB, XonLim));
static_assert(offsetof(Dcb, XoffLim) == offsetof(DCB, XoffLim));
static_assert(offsetof(Dcb, ByteSize) == offsetof(DCB, ByteSize));
static_assert(offsetof(Dcb, Parity) == offsetof(DCB, Parity));
static_assert(offsetof(Dcb, StopBits) == offsetof(DCB, StopBits));
static_assert(offsetof(Dcb, XonChar) == offsetof(DCB, XonChar));
static_assert(offsetof(Dcb, XoffChar) == offsetof(DCB, XoffChar));
static_assert(offsetof(Dcb, ErrorChar) == offsetof(DCB, ErrorChar));
static_assert(offsetof(Dcb, EofChar) == offsetof(DCB, EofChar));
static_assert(offsetof(Dcb, EvtChar) == offsetof(DCB, EvtChar));
static_assert(sizeof(CommTimeouts) == sizeof(COMMTIMEOUTS));
static_assert(offsetof(CommTimeouts, WriteTotalTimeoutConstant) == offsetof(COMMTIMEOUTS, WriteTotalTimeoutConstant));
static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(Overlapped, Internal) == offsetof(OVERLAPPED, Internal));
static_assert(offsetof(Overlapped, InternalHigh) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(Overlapped, Offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(Overlapped, hEvent) == offsetof(OVERLAPPED, hEvent));
static_assert(sizeof(ComStat) == sizeof(COMSTAT));
static_assert(offsetof(ComStat, cbInQue) == offsetof(COMSTAT, cbInQue));
static_assert(offsetof(ComStat, cbOutQue) == offsetof(COMSTAT, cbOutQue));
static_assert(kStatusPending == STATUS_PENDING);
static_assert(kErrorOperationAborted == ERROR_OPERATION_ABORTED);
static_assert(kErrorIoPending == ERROR_IO_PENDING && kErrorIoIncomplete == ERROR_IO_INCOMPLETE);
static_assert(kClrDtr == CLRDTR && kClrRts == CLRRTS && kSetDtr == SETDTR && kSetRts == SETRTS);
static_assert(kPurgeTxClear == PURGE_TXCLEAR && kPurgeTxAbort == PURGE_TXABORT);
static_assert(kCeFrame == CE_FRAME && kCeBreak == CE_BREAK && kCeMode == CE_MODE && kCeTxFull == CE_TXFULL);
static_assert(kMsRlsdOn == MS_RLSD_ON && kMsCtsOn == MS_CTS_ON);
static_assert(kRtsControlHandshake == RTS_CONTROL_HANDSHAKE && kDtrControlHandshake == DTR_CONTROL_HANDSHAKE);
static_assert(kEvenParity == EVENPARITY && kSpaceParity == SPACEPARITY && kTwoStopBits == TWOSTOPBITS);

namespace {

DCB* Sys(Dcb* dcb) { return reinterpret_cast<DCB*>(dcb); }
COMMTIMEOUTS* Sys(CommTimeouts* t) { return reinterpret_cast<COMMTIMEOUTS*>(t); }
OVERLAPPED* Sys(Overlapped* o) { return reinterpret_cast<OVERLAPPED*>(o); }
COMSTAT* Sys(ComStat* s) { return reinterpret_cast<COMSTAT*>(s); }
DWORD* Sys(std::uint32_t* w) { return reinterpret_cast<DWORD*>(w); }

Handle WinCreateFileA(const char* name, std::uint32_t access, std::uint32_t share, void* security,
                      std::uint32_t creation, std::uint32_t flags, Handle templateFile) {
    return ::CreateFileA(name, access, share, static_cast<LPSECURITY_ATTRIBUTES>(security), creation, flags,
                         templateFile);
}
Bool WinSetupComm(Handle h, std::uint32_t in, std::uint32_t out) { return ::SetupComm(h, in, out); }
Bool WinGetCommState(Handle h, Dcb* dcb) { return ::GetCommState(h, Sys(dcb)); }
Bool WinSetCommState(Handle h, Dcb* dcb) { return ::SetCommState(h, Sys(dcb)); }
Bool WinGetCommTimeouts(Handle h, CommTimeouts* t) { return ::GetCommTimeouts(h, Sys(t)); }
Bool WinSetCommTimeouts(Handle h, CommTimeouts* t) { return ::SetCommTimeouts(h, Sys(t)); }
Bool WinGetCommMask(Handle h, std::uint32_t* mask) { return ::GetCommMask(h, Sys(mask)); }
Bool WinSetCommMask(Handle h, std::uint32_t mask) { return ::SetCommMask(h, mask); }
Bool WinClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) {
    return ::ClearCommError(h, Sys(errors), Sys(stat));
}
Bool WinReadFile(Handle h, void* buffer, std::uint32_t length, std::uint32_t* read, Overlapped* o) {
    return ::ReadFile(h, buffer, length, Sys(read), Sys(o));
}
Bool WinWriteFile(Handle h, const void* buffer, std::uint32_t length, std::uint32_t* written, Overlapped* o) {
    return ::WriteFile(h, buffer, length, Sys(written), Sys(o));
}
Bool WinGetOverlappedResult(Handle h, Overlapped* o, std::uint32_t* transferred, Bool wait) {
    return ::GetOverlappedResult(h, Sys(o), Sys(transferred), wait);
}
Bool WinPurgeComm(Handle h, std::uint32_t flags) { return ::PurgeComm(h, flags); }
Bool WinEscapeCommFunction(Handle h, std::uint32_t function) { return ::EscapeCommFunction(h, function); }
Bool WinSetCommBreak(Handle h) { return ::SetCommBreak(h); }
Bool WinClearCommBreak(Handle h) { return ::ClearCommBreak(h); }
Bool WinGetCommModemStatus(Handle h, std::uint32_t* status) { return ::GetCommModemStatus(h, Sys(status)); }
Bool WinPeekNamedPipe(Handle h, void* buffer, std::uint32_t size, std::uint32_t* read, std::uint32_t* available,
                      std::uint32_t* left) {
    return ::PeekNamedPipe(h, buffer, size, Sys(read), Sys(available), Sys(left));
}
Bool WinCloseHandle(Handle h) { return ::CloseHandle(h); }
std::uint32_t WinGetLastError() { return ::GetLastError(); }
Handle WinCreateEventA(void* security, Bool manualReset, Bool initialState, const char* name) {
    return ::CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(security), manualReset, initialState, name);
}
Bool WinCancelIo(Handle h) { return ::CancelIo(h); }

}  // namespace

SerialOps SerialDefaults() {
    SerialOps ops{};
    ops.CreateFileA = WinCreateFileA;
    ops.SetupComm = WinSetupComm;
    ops.GetCommState = WinGetCommState;
    ops.SetCommState = WinSetCommState;
    ops.GetCommTimeouts = WinGetCommTimeouts;
    ops.SetCommTimeouts = WinSetCommTimeouts;
    ops.GetCommMask = WinGetCommMask;
    ops.SetCommMask = WinSetCommMask;
    ops.ClearCommError = WinClearCommError;
    ops.ClearCommErrorFor = ClearCommErrorWhole;  // one ClearCommError gives both counts
    ops.ReadFile = WinReadFile;
    ops.WriteFile = WinWriteFile;
    ops.GetOverlappedResult = WinGetOverlappedResult;
    ops.PurgeComm = WinPurgeComm;
    ops.EscapeCommFunction = WinEscapeCommFunction;
    ops.SetCommBreak = WinSetCommBreak;
    ops.ClearCommBreak = WinClearCommBreak;
    ops.GetCommModemStatus = WinGetCommModemStatus;
    ops.PeekNamedPipe = WinPeekNamedPipe;
    ops.CloseHandle = WinCloseHandle;
    ops.GetLastError = WinGetLastError;
    ops.CreateEventA = WinCreateEventA;
    ops.CancelIo = WinCancelIo;
    return ops;
}

std::string ComDeviceTarget(int number) {
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", number);
    char target[1024] = {};
    // The answer is a list of zero-terminated names; the first is the current one.
    if (::QueryDosDeviceA(name, target, sizeof target) == 0) return std::string();
    return target;
}

bool SerialDriverTakesRate(std::uint32_t) { return true; }

}  // namespace kestar::platform
