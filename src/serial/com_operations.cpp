// The COM driver's operations on an open port: transfer, line control, status
// and the dump. Every ClearCommError adds its error word to lineErrors. A transfer
// asks the system only for the queue count it reads; the queue counts, the line
// status and the dump ask for both, so that a device that cannot give one of
// them reports every count as 0.
#include "serial/com_driver.h"
#include "platform/compiler.h"
#include "serial/com_write_records.h"

#include <cstdio>
#include <cstring>

namespace kestar::serial {
namespace {

using platform::ComStat;
using platform::Serial;

constexpr std::size_t kDumpLineSize = 160;
constexpr std::uint32_t kLineStatusBits =
    platform::kCeBreak | platform::kCeFrame | platform::kCeRxParity | platform::kCeOverrun;

ComDriverData* Data(Port* port) { return static_cast<ComDriverData*>(port->driverData); }

int Bit(std::uint32_t word, std::uint32_t bit) { return (word & bit) != 0 ? 1 : 0; }

// One ClearCommError for the counts the caller reads (platform::kInQueue,
// kOutQueue or both: a POSIX system asks the device once for each); the COMSTAT
// starts zero-filled because some systems leave members untouched. False when the
// system could not be asked. The bytes of the writes still in flight are waiting
// to be sent even where the system leaves them out of its own count.
bool QueryQueues(ComDriverData* data, ComStat& stat, std::uint32_t queues) {
    ReclaimCompletedWrites(data, false);
    stat = ComStat{};
    std::uint32_t errors = 0;
    const bool ok = Serial().ClearCommErrorFor(data->deviceHandle, queues, &errors, &stat) != 0;
    data->lineErrors |= errors;
    if ((queues & platform::kOutQueue) != 0 && stat.cbOutQue < data->heldWriteBytes) {
        stat.cbOutQue = data->heldWriteBytes;
    }
    return ok;
}

std::int32_t Refused(Port* port) {
    port->status = MapSystemError();
    return port->status;
}

std::int32_t WriteState(Port* port) {
    ComDriverData* data = Data(port);
    return Serial().SetCommState(data->deviceHandle, &data->dcb) ? kStatusOk : Refused(port);
}

// Reads never wait for writes: they have a record of their own. A read asks only
// for what is queued, which the open-time time-outs make the system complete at
// once; it is waited for only when the system started it.
std::int32_t Read(Port* port, void* destination, std::uint32_t length) {
    ComDriverData* data = Data(port);
    port->transferCount = 0;
    if (destination == nullptr && length > 0) return kBufferEmpty;
    ComStat stat;
    QueryQueues(data, stat, platform::kInQueue);
    if (stat.cbInQue == 0) return kBufferEmpty;
    const std::uint32_t wanted = stat.cbInQue < length ? stat.cbInQue : length;
    const platform::SerialOps& serial = Serial();
    platform::Overlapped& record = data->overlapped;
    const platform::Handle event = record.hEvent;
    std::memset(&record, 0, sizeof record);
    record.hEvent = event;
    std::uint32_t got = 0;
    if (serial.ReadFile(data->deviceHandle, destination, wanted, &got, &record)) {
        port->transferCount = got;  // a short read is a success; the count says how much arrived
        return kStatusOk;
    }
    if (serial.GetLastError() != platform::kErrorIoPending) {
        // Failed outright: the system never started the record, so nothing will
        // complete it and there is nothing to wait for.
        QueryQueues(data, stat, platform::kInQueue);
        return kBufferEmpty;
    }
    if (!serial.GetOverlappedResult(data->deviceHandle, &record, &got, 1)) return kBufferEmpty;
    port->transferCount = got;
    return kStatusOk;
}

// A write the system leaves pending counts as sent: its record and its copy of
// the bytes stay with the system until it completes, so the caller's buffer may
// go away at once and the next write never waits for this one.
std::int32_t Write(Port* port, const void* source, std::uint32_t length) {
    ComDriverData* data = Data(port);
    port->transferCount = 0;
    if (source != nullptr && length > 0) {
        ComStat stat;
        QueryQueues(data, stat, platform::kOutQueue);
        // room and length compare as unsigned values. A system that queues more
        // than was asked of it (a driver that ignores SetupComm's sizes, as many USB
        // adapters do) makes the difference wrap, and then the whole length is
        // handed over: the system, not the requested size, limits the queue there.
        // Only a queue of exactly the requested size refuses everything.
        const std::uint32_t room = data->txBufferSize - stat.cbOutQue;
        const std::uint32_t wanted = length < room ? length : room;
        WriteRecord* record = wanted > 0 ? TakeWriteRecord(data, wanted) : nullptr;
        if (record != nullptr) {
            std::memcpy(record->bytes(), source, wanted);
            record->length = wanted;
            const platform::SerialOps& serial = Serial();
            std::uint32_t sent = 0;
            if (serial.WriteFile(data->deviceHandle, record->bytes(), wanted, &sent, &record->overlapped)) {
                port->transferCount = sent;
                ReturnWriteRecord(data, record);
            } else if (serial.GetLastError() == platform::kErrorIoPending) {
                port->transferCount = wanted;
                HoldWrite(data, record);
            } else {
                port->transferCount = sent;
                ReturnWriteRecord(data, record);  // never started: the system does not hold it
                QueryQueues(data, stat, platform::kOutQueue);
            }
        }
    }
    if (port->transferCount >= length) return kStatusOk;
    port->status = kBufferFull;
    return kBufferFull;
}

std::int32_t GetChar(Port* port) {
    unsigned char byte = 0;
    const std::int32_t result = Read(port, &byte, 1);
    if (result != kStatusOk) return result;
    // A completion that brought no byte must not hand out a byte never received.
    if (port->transferCount == 0) return kBufferEmpty;
    return byte;
}

std::int32_t PeekChar(Port* port) {
    unsigned char byte = 0;
    const std::int32_t result = Read(port, &byte, 1);
    if (result != kStatusOk) return result;
    if (port->transferCount == 0) return kBufferEmpty;
    std::uint32_t read = 0, available = 0, left = 0;
    if (!Serial().PeekNamedPipe(Data(port)->deviceHandle, &byte, 1, &read, &available, &left)) return Refused(port);
    return static_cast<signed char>(byte);
}

std::int32_t PutChar(Port* port, std::int32_t value) {
    const unsigned char byte = static_cast<unsigned char>(value & 0xFF);
    return Write(port, &byte, 1);
}

std::int32_t XonXoffHandshake(Port* port, std::int32_t on) {
    platform::Dcb& dcb = Data(port)->dcb;
    dcb.fInX = on ? 1 : 0;
    dcb.fOutX = on ? 1 : 0;
    return WriteState(port);
}

std::int32_t RtsCtsHandshake(Port* port, std::int32_t on) {
    platform::Dcb& dcb = Data(port)->dcb;
    dcb.fOutxCtsFlow = on ? 1 : 0;
    dcb.fRtsControl = on ? platform::kRtsControlHandshake : platform::kRtsControlDisable;
    return WriteState(port);
}

std::int32_t DtrDsrHandshake(Port* port, std::int32_t on) {
    platform::Dcb& dcb = Data(port)->dcb;
    dcb.fOutxDsrFlow = on ? 1 : 0;
    dcb.fDtrControl = on ? platform::kDtrControlHandshake : platform::kDtrControlDisable;
    return WriteState(port);
}

std::int32_t SetDtr(Port* port, std::int32_t on) {
    ComDriverData* data = Data(port);
    data->dcb.fDtrControl = on ? platform::kDtrControlEnable : platform::kDtrControlDisable;
    Serial().SetCommState(data->deviceHandle, &data->dcb);
    return kStatusOk;
}

std::int32_t SetRts(Port* port, std::int32_t on) {
    ComDriverData* data = Data(port);
    data->dcb.fRtsControl = on ? platform::kRtsControlEnable : platform::kRtsControlDisable;
    Serial().SetCommState(data->deviceHandle, &data->dcb);
    return kStatusOk;
}

// When the system cannot report its queues, every count is 0: nothing is known
// to be waiting and nothing can be known to fit.
std::int32_t TxFree(Port* port) {
    ComDriverData* data = Data(port);
    ComStat stat;
    if (!QueryQueues(data, stat, platform::kBothQueues)) return 0;
    return static_cast<std::int32_t>(data->txBufferSize - stat.cbOutQue);
}

std::int32_t TxCount(Port* port) {
    ComStat stat;
    if (!QueryQueues(Data(port), stat, platform::kBothQueues)) return 0;
    return static_cast<std::int32_t>(stat.cbOutQue);
}

std::int32_t RxFree(Port* port) {
    ComDriverData* data = Data(port);
    ComStat stat;
    if (!QueryQueues(data, stat, platform::kBothQueues)) return 0;
    return static_cast<std::int32_t>(data->rxBufferSize - stat.cbInQue);
}

std::int32_t RxCount(Port* port) {
    ComStat stat;
    if (!QueryQueues(Data(port), stat, platform::kBothQueues)) return 0;
    return static_cast<std::int32_t>(stat.cbInQue);
}

std::int32_t PurgeTx(Port* port) {
    return Serial().PurgeComm(Data(port)->deviceHandle, platform::kPurgeTxClear) ? kStatusOk : Refused(port);
}

std::int32_t SendBreak(Port* port, std::int32_t milliseconds) {
    platform::Handle handle = Data(port)->deviceHandle;
    Serial().SetCommBreak(handle);
    DelayMs(port, milliseconds);  // an idle routine may shorten the break, not fail it
    Serial().ClearCommBreak(handle);
    return kStatusOk;
}

// No line is reported on when the system cannot say.
std::int32_t ModemStatus(Port* port) {
    std::uint32_t word = 0;
    if (!Serial().GetCommModemStatus(Data(port)->deviceHandle, &word)) return 0;
    return static_cast<std::int32_t>(word & 0xFFu);
}

std::int32_t LineStatus(Port* port) {
    ComDriverData* data = Data(port);
    ComStat stat;
    QueryQueues(data, stat, platform::kBothQueues);
    return static_cast<std::int32_t>(data->lineErrors & kLineStatusBits);
}

std::int32_t ClearLineErrors(Port* port) {
    Data(port)->lineErrors = 0;
    return kStatusOk;
}

unsigned Byte(char c) { return static_cast<unsigned char>(c); }

std::int32_t Dump(Port* port, DumpOutput output) {
    if (output == nullptr) return kStatusOk;
    ComDriverData* data = Data(port);
    const platform::Dcb& dcb = data->dcb;
    char line[kDumpLineSize];
    output("");
    std::snprintf(line, sizeof line, "Port type:  MS Windows  DCB BaudRate: %-6d  ByteSize: %1d  Parity: %1d",
                  static_cast<int>(dcb.BaudRate), dcb.ByteSize, dcb.Parity);
    output(line);
    std::snprintf(line, sizeof line, "StopBits: %1d fBinary: %1d  fRtsControl: %1d", dcb.StopBits,
                  static_cast<int>(dcb.fBinary), static_cast<int>(dcb.fRtsControl));
    output(line);
    std::snprintf(line, sizeof line,
                  "Parity: %1d  OutCtsFlow: %1d  OutDsrFlow: %1d  DtrControl: %1d  OutX: %1d  InX: %1d",
                  static_cast<int>(dcb.fParity), static_cast<int>(dcb.fOutxCtsFlow),
                  static_cast<int>(dcb.fOutxDsrFlow), static_cast<int>(dcb.fDtrControl),
                  static_cast<int>(dcb.fOutX), static_cast<int>(dcb.fInX));
    output(line);
    std::snprintf(line, sizeof line, "Null: %1d  DtrControl: %1d  RtsControl: %1d  XonChar: %02x  XoffChar: %02x",
                  static_cast<int>(dcb.fNull), static_cast<int>(dcb.fDtrControl),
                  static_cast<int>(dcb.fRtsControl), Byte(dcb.XonChar), Byte(dcb.XoffChar));
    output(line);
    std::snprintf(line, sizeof line, "XonLim: %-5u XoffLim: %-5u EofChr: %02x  EvtChr: %02x",
                  static_cast<unsigned>(dcb.XonLim), static_cast<unsigned>(dcb.XoffLim), Byte(dcb.EofChar),
                  Byte(dcb.EvtChar));
    output(line);

    const std::uint32_t lineStatus = static_cast<std::uint32_t>(port->ops.LineStatus(port));
    ComStat stat;
    QueryQueues(data, stat, platform::kBothQueues);
    std::snprintf(line, sizeof line, "RX count/free: %5d/%-5d  TX count/free: %5d/%-5d  BREAK/FE/OE/PE: %d%d%d%d",
                  static_cast<int>(stat.cbInQue), static_cast<int>(data->rxBufferSize - stat.cbInQue),
                  static_cast<int>(stat.cbOutQue), static_cast<int>(data->txBufferSize - stat.cbOutQue),
                  Bit(lineStatus, platform::kCeBreak), Bit(lineStatus, platform::kCeFrame),
                  Bit(lineStatus, platform::kCeOverrun), Bit(lineStatus, platform::kCeRxParity));
    output(line);
    const std::uint32_t errors = data->lineErrors;
    std::snprintf(line, sizeof line, "CE_BREAK:%d  CE_FRAME:%d  CE_MODE:%d CE_OVERRUN:%d",
                  Bit(errors, platform::kCeBreak), Bit(errors, platform::kCeFrame), Bit(errors, platform::kCeMode),
                  Bit(errors, platform::kCeOverrun));
    output(line);
    const std::uint32_t modem = static_cast<std::uint32_t>(port->ops.ModemStatus(port));
    std::snprintf(line, sizeof line, "CE_RXOVER:%d CE_RXPARITY:%d CE_TXFULL:%d  CTS/DSR/RI/CD: %d%d%d%d",
                  Bit(errors, platform::kCeRxOver), Bit(errors, platform::kCeRxParity),
                  Bit(errors, platform::kCeTxFull), Bit(modem, platform::kMsCtsOn), Bit(modem, platform::kMsDsrOn),
                  Bit(modem, platform::kMsRingOn), Bit(modem, platform::kMsRlsdOn));
    output(line);
    // The zero flag beside a precision is the line's own format.
    KESTAR_WARNINGS_PUSH
    KESTAR_IGNORE_FORMAT
    std::snprintf(line, sizeof line, "8250:%04.4x", static_cast<unsigned>(data->uartWord));
    KESTAR_WARNINGS_POP
    output(line);
    return kStatusOk;
}

}  // namespace

void InstallComOperations(PortOps& ops) {
    ops.GetChar = GetChar;
    ops.PeekChar = PeekChar;
    ops.PutChar = PutChar;
    ops.Close = ComClose;
    ops.SetLine = ComSetLine;
    ops.XonXoffHandshake = XonXoffHandshake;
    ops.RtsCtsHandshake = RtsCtsHandshake;
    ops.DtrDsrHandshake = DtrDsrHandshake;
    ops.SetDtr = SetDtr;
    ops.SetRts = SetRts;
    ops.TxFree = TxFree;
    ops.TxCount = TxCount;
    ops.RxFree = RxFree;
    ops.RxCount = RxCount;
    ops.PurgeTx = PurgeTx;
    ops.Write = Write;
    ops.Read = Read;
    ops.Dump = Dump;
    ops.SendBreak = SendBreak;
    ops.ModemStatus = ModemStatus;
    ops.LineStatus = LineStatus;
    ops.ClearLineErrors = ClearLineErrors;
}

}  // namespace kestar::serial
