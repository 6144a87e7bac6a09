// One port line through OpenPortSlot over the simulated UART. Input: a byte of
// circumstances (bits 0-2: the slot, bit 3: COM1 to COM9 exist, bit 4: the device
// is held elsewhere, bit 5: it refuses its control block, bits 6-7: the first or
// second allocation fails), then the line. The line is also scanned here, whole, with
// the C library's "%s %ld %ld %c %ld %ld"; a line as long as the most the settings
// reader gives (or longer) must be refused without a device touched; the outcome, the role slots, errorCode,
// errorText and the device's settings are checked against that reading, and after
// ClosePortSlots no device may be open and no port alive.
#include "fakes/fake_uart.h"
#include "platform/memory.h"
#include "serial/line_settings.h"
#include "serial/port_manager.h"
#include "serial/port_roles.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using kestar::testing::FakeComDevice;
using kestar::testing::FakeUart;

constexpr int kSentinel = -7;
using kestar::kPortLineDefaults;
using kestar::kPortRoles;

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

int failingAllocation = 0;  // 1: the first calloc fails, 2: the second, 0: none
int allocations = 0;
void* CountingCalloc(std::size_t count, std::size_t size) {
    if (++allocations == failingAllocation) return nullptr;
    return std::calloc(count, size);
}

struct Reading {
    char role[256] = {};
    long com = kPortLineDefaults.comNumber, baud = kPortLineDefaults.baudRate;
    long dataBits = kPortLineDefaults.dataBits, stopBits = kPortLineDefaults.stopBits;
    char parity = kPortLineDefaults.parity;
};

Reading Scan(const std::string& line) {
    Reading r;
    if (line.size() >= sizeof r.role) return r;  // refused before any scan
    std::sscanf(line.c_str(), "%255s %ld %ld %c %ld %ld", r.role, &r.com, &r.baud, &r.parity, &r.dataBits,
                &r.stopBits);
    // The 32-bit C library holds an out-of-range number at the ends of a 32-bit long.
    for (long* field : {&r.com, &r.baud, &r.dataBits, &r.stopBits}) {
        *field = std::clamp<long>(*field, INT32_MIN, INT32_MAX);
    }
    return r;
}

int RoleIndex(const char* role) {
    for (int i = 0; i < kestar::kPortRoleCount; ++i) {
        if (std::strcmp(role, kPortRoles[i].name) == 0) return i;
    }
    return -1;
}

bool DriverAccepts(const Reading& r) {
    std::uint32_t rate = 0;
    std::uint8_t code = 0;
    return kestar::serial::DeviceBaudRate(static_cast<std::int32_t>(r.baud), rate) &&
           kestar::serial::ParityCode(r.parity, code) &&
           kestar::serial::StopBitsCode(static_cast<std::int32_t>(r.stopBits), code);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned flags = data[0];
    const int slot = static_cast<int>(flags & 7);  // 6 and 7 are outside the table
    const std::string line(reinterpret_cast<const char*>(data) + 1, size - 1);

    static InterfaceBlock block;
    block = InterfaceBlock{};
    kestar::UsePortManagerState({&block, kestar::PortManagerStateInUse().readRetryLimit});
    for (const auto& role : kPortRoles) block.*role.field = kSentinel;
    block.errorCode = 12345;
    std::strcpy(block.errorText, "untouched");

    FakeUart uart;
    if (flags & 8) {
        for (int com = 1; com <= 9; ++com) {
            FakeComDevice& device = uart.Device(com);
            device.inUse = (flags & 16) != 0;
            device.refuseCommState = (flags & 32) != 0;
        }
    }
    failingAllocation = static_cast<int>(flags >> 6) & 3;
    if (failingAllocation == 3) failingAllocation = 0;
    allocations = 0;
    kestar::platform::MemoryOps memory = kestar::platform::Memory();
    memory.calloc = CountingCalloc;
    kestar::platform::ScopedMemoryOps scopedMemory(memory);

    for (auto& entry : kestar::portTable) entry = kestar::PortSlot{kSentinel, nullptr};

    const Reading r = Scan(line);
    const int role = std::strlen(r.role) < kestar::kRoleNameSize ? RoleIndex(r.role) : -1;
    const bool validSlot = slot < kestar::kPortSlotCount;
    const bool tooLong = line.size() >= kestar::kPortLineRefusedLength;

    const int result = kestar::OpenPortSlot(slot, line);

    if (validSlot && tooLong) {
        Check(result == 0, "a line that may be cut is refused");
        for (const auto& role : kPortRoles) Check(block.*role.field == kSentinel, "role slot set from a cut line");
        Check(block.errorCode == kestar::kPortLineTooLong, "too-long errorCode");
        Check(std::strcmp(block.errorText, kestar::serial::StatusMessage(kestar::kPortLineTooLong)) == 0,
              "too-long errorText");
        Check(uart.openHandles == 0 && allocations == 0, "something opened from a cut line");
        Check(kestar::portTable[slot].comNumber == -1, "slot COM number of a refused line");
    } else if (!validSlot || r.com < 0 || role < 0) {
        Check(result == kestar::kSlotPassedOver, "passed over");
        for (const auto& role : kPortRoles) Check(block.*role.field == kSentinel, "role slot set");
        Check(block.errorCode == 12345, "errorCode set");
        Check(uart.openHandles == 0 && allocations == 0, "something opened");
        if (validSlot) Check(kestar::portTable[slot].comNumber == (r.com < 0 ? kSentinel : -1), "slot COM number");
    } else {
        for (int i = 0; i < kestar::kPortRoleCount; ++i) {
            Check(block.*kPortRoles[i].field == (i == role ? slot : kSentinel), "role slots");
        }
        const FakeComDevice* device = r.com >= 1 && r.com <= 9 ? uart.Find(static_cast<int>(r.com)) : nullptr;
        const bool opens = device != nullptr && !device->inUse && failingAllocation == 0;
        const bool works = r.com > 0 && opens && !device->refuseCommState && DriverAccepts(r);
        Check(result == (works ? 1 : 0), "outcome");
        if (works) {
            Check(kestar::portTable[slot].comNumber == r.com, "opened COM number");
            Check(device->open && uart.openHandles == 1, "device open");
            if (r.baud <= kestar::serial::kHighestPlainRate) Check(device->lastDcb.BaudRate == static_cast<std::uint32_t>(r.baud), "baud rate");
            Check(device->lastDcb.ByteSize == static_cast<std::uint8_t>(r.dataBits), "data bits");
            Check(device->lastDcb.StopBits == (r.stopBits == 2 ? 2 : 0), "stop bits");
        } else {
            Check(kestar::portTable[slot].comNumber == -1, "failed COM number");
            Check(block.errorCode < 0, "failure code");
            if (r.com > 0) {
                Check(kestar::portTable[slot].port != nullptr, "failed port kept");
                Check(block.errorCode == kestar::portTable[slot].port->status, "errorCode is the status");
                if (failingAllocation != 0) Check(block.errorCode == kestar::serial::kOutOfMemory, "out of memory");
            }
            Check(std::strncmp(block.errorText, kestar::serial::StatusMessage(block.errorCode),
                               sizeof block.errorText) == 0,
                  "errorText");
        }
        Check(block.errorText[sizeof block.errorText - 1] == '\0', "errorText unterminated");
    }

    kestar::ClosePortSlots();
    Check(uart.openHandles == 0, "a device left open");
    Check(kestar::serial::LivePorts() == nullptr, "a port left alive");
    return 0;
}
