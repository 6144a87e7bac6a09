#include "serial/port_manager.h"

#include "platform/debug_trace.h"
#include "platform/text_format.h"
#include "serial/com_driver.h"
#include "serial/port_roles.h"
#include "settings/settings_file.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kestar {

PortSlot portTable[kPortSlotCount] = {};
PendingLine pendingLine = {};

namespace {

constexpr char kBufferOverflowText[] = "Buffer overflow";

PortManagerState state = kPortManagerStateAtLoad;

bool ValidSlot(int slot) { return slot >= 0 && slot < kPortSlotCount; }

bool SlotIsOpen(int slot) {
    return ValidSlot(slot) && portTable[slot].comNumber > 0 && portTable[slot].port != nullptr;
}

// The port manager writes into the block of the last start-up; before any there
// is none, and nothing is written.
InterfaceBlock* Block() { return state.reportBlock; }

std::int32_t ReportStatus(std::int32_t status, const char* message) {
    if (InterfaceBlock* block = Block()) {
        block->errorCode = status;
        platform::CopyFixedText(block->errorText, message);
    }
    return status;
}

// A slot that is out of range or holds no open port.
std::int32_t ReportInvalidSlot() { return ReportStatus(serial::kInvalidPort, serial::StatusMessage(serial::kInvalidPort)); }

void SetLineDone(int value) {
    if (InterfaceBlock* block = Block()) block->lineDone = value;
}

// %ld of the 32-bit module: blanks, an optional sign, decimal digits, held at the
// ends of the 32-bit range when out of it; false (field unset) without digits. A
// 64-bit build reads the same values, rather than ones that a later 32-bit field cuts.
bool ScanLong(const char*& at, long& out) {
    char* end = nullptr;
    const long value = std::strtol(at, &end, 10);
    if (end == at) return false;
    out = std::clamp<long>(value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
    at = end;
    return true;
}

void TraceOpenLine(const char* verb, const PortLine& line) {
    platform::Trace("%sOpen %s at COM%d %d %c %d %d\n", verb, line.roleName, static_cast<int>(line.comNumber),
                    static_cast<int>(line.baudRate), line.parity, static_cast<int>(line.dataBits),
                    static_cast<int>(line.stopBits));
}

}  // namespace

PortLine ScanPortLine(const std::string& text) {
    PortLine line{};
    line.comNumber = kPortLineDefaults.comNumber;
    line.baudRate = kPortLineDefaults.baudRate;
    line.parity = kPortLineDefaults.parity;
    line.dataBits = kPortLineDefaults.dataBits;
    line.stopBits = kPortLineDefaults.stopBits;

    // The whole value is scanned: a field beyond some fixed width is never dropped
    // in favour of its default.
    const char* at = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*at))) ++at;
    if (*at == '\0') return line;
    std::size_t length = 0;
    while (at[length] != '\0' && !std::isspace(static_cast<unsigned char>(at[length]))) ++length;
    line.roleTooLong = length >= kRoleNameSize;
    const std::size_t kept = line.roleTooLong ? kRoleNameSize - 1 : length;
    std::memcpy(line.roleName, at, kept);
    line.roleName[kept] = '\0';
    at += length;
    line.fields = 1;

    if (!ScanLong(at, line.comNumber)) return line;
    line.fields = 2;
    if (!ScanLong(at, line.baudRate)) return line;
    line.fields = 3;
    while (std::isspace(static_cast<unsigned char>(*at))) ++at;
    if (*at == '\0') return line;
    line.parity = *at++;
    line.fields = 4;
    if (!ScanLong(at, line.dataBits)) return line;
    line.fields = 5;
    if (ScanLong(at, line.stopBits)) line.fields = 6;
    return line;
}

int OpenPortSlots() {
    if (InterfaceBlock* block = Block()) ClearRoleFields(*block);
    // Ports still held from a run that was not shut down are closed, not leaked:
    // a device left open would refuse this run with "Port in Use".
    ClosePortSlots();
    for (int n = 1; n <= kPortSlotCount; ++n) {
        std::string value;
        if (!ReadSetting(value, PortKey(n))) return 0;
        if (OpenPortSlot(n - 1, value) == kSlotRefused) return 0;
    }
    return 1;
}

PortLinePlan PlanPortLine(const std::string& text) {
    PortLinePlan plan{};
    plan.line = ScanPortLine(text);
    plan.role = -1;
    const PortLine& line = plan.line;
    if (text.size() >= kPortLineRefusedLength) {
        plan.action = PortLineAction::kSettingsLineTooLong;
        return plan;
    }
    if (line.comNumber < 0) {
        plan.action = PortLineAction::kNegativeCom;
        return plan;
    }
    if (line.roleTooLong) {
        plan.action = PortLineAction::kRoleTooLong;
        return plan;
    }
    for (int role = 0; role < kPortRoleCount; ++role) {
        if (std::strcmp(line.roleName, kPortRoles[role].name) == 0) {
            plan.role = role;
            break;
        }
    }
    if (plan.role < 0) {
        plan.action = PortLineAction::kUnknownRole;
        return plan;
    }
    if (line.comNumber == 0) {
        plan.action = PortLineAction::kComZero;
        return plan;
    }
    plan.action = PortLineAction::kOpen;
    plan.request.comNumber = static_cast<std::int32_t>(line.comNumber > INT_MAX ? INT_MAX : line.comNumber);
    plan.request.baudRate = static_cast<std::int32_t>(line.baudRate);
    plan.request.parity = line.parity;
    plan.request.dataBits = static_cast<std::uint8_t>(line.dataBits);
    plan.request.stopBits = static_cast<std::int32_t>(line.stopBits);
    return plan;
}

const PortManagerState& PortManagerStateInUse() { return state; }

void UsePortManagerState(const PortManagerState& handedIn) { state = handedIn; }

PortSlotResult OpenPortSlot(int slot, const std::string& text) {
    if (!ValidSlot(slot)) return kSlotPassedOver;
    const PortLinePlan plan = PlanPortLine(text);
    const PortLine& line = plan.line;
    if (plan.action == PortLineAction::kNegativeCom) return kSlotPassedOver;
    PortSlot& entry = portTable[slot];
    entry.comNumber = -1;

    if (plan.action == PortLineAction::kSettingsLineTooLong) {
        platform::Trace("CANNOT Open PORT%d: a line of %u characters or more may have been cut\n", slot + 1,
                        static_cast<unsigned>(kPortLineRefusedLength));
        ReportStatus(kPortLineTooLong, serial::StatusMessage(kPortLineTooLong));
        return kSlotRefused;
    }

    if (plan.role < 0) return kSlotPassedOver;
    if (InterfaceBlock* block = Block()) block->*kPortRoles[plan.role].field = slot;

    if (plan.action == PortLineAction::kComZero) {
        // COM0 names no device: a setting error, reported like a port that failed.
        TraceOpenLine("CANNOT ", line);
        ReportInvalidSlot();
        return kSlotRefused;
    }
    if (entry.port != nullptr) {  // a port object left from before: never leaked
        entry.port->ops.Close(entry.port);
        entry.port = nullptr;
    }
    const ComRequest& request = plan.request;
    entry.port = serial::CreateComPort(request.comNumber - 1, request.baudRate, request.parity, request.dataBits,
                                       request.stopBits);
    if (entry.port->status != 0) {
        TraceOpenLine("CANNOT ", line);
        ReportSlotError(slot);
        return kSlotRefused;
    }
    TraceOpenLine("", line);
    entry.comNumber = request.comNumber;
    return kSlotOpened;
}

int ClosePortSlots() {
    for (PortSlot& slot : portTable) {
        if (slot.port != nullptr) {
            serial::Port* port = slot.port;
            slot.port = nullptr;
            port->ops.Close(port);
        }
        slot.comNumber = -1;
    }
    return 1;
}

void FlushPortSlots() {
    for (int slot = 0; slot < kPortSlotCount; ++slot) {
        if (!SlotIsOpen(slot)) continue;
        serial::Port* port = portTable[slot].port;
        port->ops.TxFree(port);
        port->ops.ClearStatus(port);
        port->ops.PurgeTx(port);
        port->ops.TxFree(port);
    }
}

std::int32_t ReportSlotError(int slot) {
    if (!ValidSlot(slot) || portTable[slot].port == nullptr) return ReportInvalidSlot();
    const std::int32_t status = portTable[slot].port->status;
    return ReportStatus(status, serial::StatusMessage(status));
}

namespace {

// A read that timed out keeps what it gathered for the next line completed.
void HoldPendingLine(char* buffer, int count) {
    pendingLine.length = count;
    if (count != 0) {
        buffer[count] = '\0';
        std::memcpy(pendingLine.text, buffer, static_cast<std::size_t>(count) + 1);
    }
}

// Puts the pending characters in front of the line of count characters that its
// newline just ended in buffer, and forgets them. False when both together do not
// fit the line buffer: the line is too long, as one that arrived whole would be,
// and buffer holds as much of both as fits.
bool MergePendingLine(char* buffer, int count) {
    if (pendingLine.length == 0) return true;
    pendingLine.length = 0;
    const std::size_t pending = std::strlen(pendingLine.text);
    const std::size_t merged = pending + static_cast<std::size_t>(count);
    if (merged >= kPendingLineSize) {
        std::memmove(buffer + pending, buffer, kPortLineSize - 1 - pending);
        std::memcpy(buffer, pendingLine.text, pending);
        buffer[kPortLineSize - 1] = '\0';
        return false;
    }
    std::memmove(buffer + pending, buffer, static_cast<std::size_t>(count) + 1);
    std::memcpy(buffer, pendingLine.text, pending);
    return true;
}

// The read ends after readRetryLimit empty polls: errorCode says so (errorText
// stays as it was), and what it gathered waits for the next line completed.
std::int32_t TimeOutRead(char* buffer, int count) {
    if (InterfaceBlock* block = Block()) block->errorCode = kReadTimedOut;
    platform::Trace("-99[%d]: %.*s\n", count, count, buffer);
    HoldPendingLine(buffer, count);
    return kReadTimedOut;
}

}  // namespace

std::int32_t ReadSlotLine(int slot, char* buffer) {
    if (!SlotIsOpen(slot) || buffer == nullptr) return ReportInvalidSlot();
    serial::Port* port = portTable[slot].port;
    SetLineDone(0);
    int count = 0;
    EmptyPollCount emptyPolls;
    bool lineDone = false;
    while (!lineDone) {
        const std::int32_t c = port->ops.GetChar(port);
        if (port->status != 0) return ReportSlotError(slot);
        if (c == serial::kBufferEmpty) {
            if (!emptyPolls.TimedOut(state.readRetryLimit)) continue;
            return TimeOutRead(buffer, count);
        }
        buffer[count++] = static_cast<char>(c);
        if (c == '\n') {
            buffer[count] = '\0';
            lineDone = true;
            SetLineDone(1);
            if (!MergePendingLine(buffer, count)) return ReportStatus(kReadLineTooLong, kBufferOverflowText);
        }
        if (count > kLineLimit) {
            // Terminated so that a caller reading the buffer as text stays inside it.
            // A line its newline ended is terminated already, behind the pending
            // part put in front of it: cutting it at count would drop its end.
            if (!lineDone) buffer[count] = '\0';
            SetLineDone(1);
            return ReportStatus(kReadLineTooLong, kBufferOverflowText);
        }
    }
    platform::Trace("--> %s\n", buffer);
    if (InterfaceBlock* block = Block()) block->errorCode = 0;
    return 0;
}

std::int32_t WriteSlotString(int slot, const char* text) {
    if (text == nullptr) text = "";
    platform::Trace("-> %s  ", text);
    if (slot < 0) return 0;
    if (!SlotIsOpen(slot)) return ReportInvalidSlot();
    serial::Port* port = portTable[slot].port;
    for (const char* c = text; *c != '\0' && *c != '\n'; ++c) {
        if (port->ops.PutChar(port, static_cast<unsigned char>(*c)) < 0) return ReportSlotError(slot);
    }
    return 0;
}

}  // namespace kestar
