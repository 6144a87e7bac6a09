// The port manager: six port slots filled from the settings lines PORT1 to PORT6,
// the interface block's role slots, failures reported as errorCode and errorText,
// and line-oriented reading and string writing on a slot.
#pragma once

#include "kestar.h"
#include "serial/port.h"
#include "settings/settings_file.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestar {

constexpr int kPortSlotCount = kPortKeyCount;  // one slot a port key
constexpr std::size_t kPortLineSize = 100;    // a line read from a slot, its terminator included
constexpr std::size_t kRoleNameSize = 20;     // role names of up to 19 characters
constexpr std::size_t kPendingLineSize = 100;
constexpr int kLineLimit = 80;                // characters a line may have, its newline included
constexpr std::int32_t kReadTimedOut = -99;
// A line read from a device passed kLineLimit (ReadSlotLine). Not a port line of the
// settings file that is too long: that is kPortLineTooLong, the action kSettingsLineTooLong.
constexpr std::int32_t kReadLineTooLong = -90;

struct PortSlot {
    std::int32_t comNumber;  // -1: no open port; n > 0: open on COMn; 0 at load
    serial::Port* port;      // the port made for the slot (open or failed), or none
};

// The characters gathered by the last read that timed out, put in front of the
// next line completed on any slot.
struct PendingLine {
    char text[kPendingLineSize];
    std::int32_t length;
};

extern PortSlot portTable[kPortSlotCount];
extern PendingLine pendingLine;

// What start-up decides for the port manager, handed in as one record.
struct PortManagerState {
    // The block the port manager reports into: role fields, errorCode and errorText,
    // lineDone. Start-up hands in the block it received; null: nothing is written.
    InterfaceBlock* reportBlock;
    // Empty polls ReadSlotLine tolerates: the machine block's pollLimit.
    std::int32_t readRetryLimit;
};
inline constexpr PortManagerState kPortManagerStateAtLoad{nullptr, 20000};

// The state the port manager works with: the one last handed in, or the load-time one.
const PortManagerState& PortManagerStateInUse();
// Hands the port manager its state; it holds until the next one is handed in.
void UsePortManagerState(const PortManagerState& state);

// The empty polls of one ReadSlotLine, counted wider than any limit: the limit comes
// from the host's pollLimit, and at INT_MAX a 32-bit count would overflow before
// the read could time out.
class EmptyPollCount {
public:
    explicit EmptyPollCount(std::int64_t start = 0) : count_(start) {}
    // Counts one more empty poll; true once the count exceeds limit.
    bool TimedOut(std::int32_t limit) { return ++count_ > limit; }

private:
    std::int64_t count_;
};

// Reads PORT1 to PORT6 and opens their ports; 1 when all six were read and none
// was refused, else 0 (a missing key ends the reading at once).
int OpenPortSlots();
// What OpenPortSlot did with a port line. A refused line was reported.
enum PortSlotResult : int {
    kSlotRefused = 0,     // no port: the line names COM0, may have been cut, or its port failed
    kSlotOpened = 1,      // the slot holds an open port
    kSlotPassedOver = 2,  // a negative COM number, a role that matches none, or no such slot
};
// One port line for a slot (0 to 5).
PortSlotResult OpenPortSlot(int slot, const std::string& line);
// Closes every port the slots hold, opened or failed, once each; always 1.
int ClosePortSlots();
// Collects pending line errors, clears the status and empties the transmit queue
// of every open slot.
void FlushPortSlots();
// One line, its newline included, into buffer (at least kPortLineSize characters):
// 0, -99 timed out, -90 too long, or the port's failing status.
std::int32_t ReadSlotLine(int slot, char* buffer);
// The text up to its first NUL or newline: 0, or the port's failing status.
std::int32_t WriteSlotString(int slot, const char* text);
// Copies the slot's port status and its message into the report block.
std::int32_t ReportSlotError(int slot);

// What a port line's fields are when the line ends before them. A line that ends
// before its parity letter asks for none.
struct PortLineDefaults {
    long comNumber;
    long baudRate;
    char parity;
    long dataBits;
    long stopBits;
};
inline constexpr PortLineDefaults kPortLineDefaults{1, 9600, 'N', 8, 1};
// The fields in the order the scan fills them.
inline constexpr const char* kPortLineFields[] = {"role", "COM number", "baud rate", "parity", "data bits", "stop bits"};

// A port line as long as the most the settings reader gives may have been cut by it:
// its last fields cannot be trusted, so it opens nothing and fails as an overflow.
constexpr std::size_t kPortLineRefusedLength = kSettingAreaSize - 1;
constexpr std::int32_t kPortLineTooLong = serial::kOverflow;

// The fields of a port line, scanned whole as "%s %ld %ld %c %ld %ld" over defaults.
struct PortLine {
    char roleName[kRoleNameSize];
    bool roleTooLong;  // the role token did not fit; it matches no role
    long comNumber;
    long baudRate;
    char parity;
    long dataBits;
    long stopBits;
    int fields;  // fields the scan filled, 0 to 6; the others keep their defaults
};
PortLine ScanPortLine(const std::string& line);

// What OpenPortSlot does with a port line before any device is touched, so that a
// tool can tell ahead of a start-up what the start-up will make of each line.
enum class PortLineAction {
    kOpen,         // a port is made: CreateComPort with request
    kNegativeCom,  // passed over: no role slot set, nothing traced
    kUnknownRole,  // passed over: the role matches none of the role table
    kRoleTooLong,  // passed over: the role token does not fit a role name
    kComZero,      // refused as a failed port: kInvalidPort
    kSettingsLineTooLong,  // refused as a failed port: status kPortLineTooLong, nothing scanned is used
};

// The arguments CreateComPort receives for the line.
struct ComRequest {
    std::int32_t comNumber;  // as written in the line (COM1 is 1), bounded to 32 bits
    std::int32_t baudRate;
    char parity;
    std::uint8_t dataBits;
    std::int32_t stopBits;
};

struct PortLinePlan {
    PortLine line;
    PortLineAction action;
    int role;  // index of the matched role in kPortRoles, -1 none
    ComRequest request;
};
PortLinePlan PlanPortLine(const std::string& text);

}  // namespace kestar
