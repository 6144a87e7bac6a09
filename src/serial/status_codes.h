// The status codes of the port layer and the COM driver: each code's message, and
// what an integrator can do about it where an installation can cause it. The
// message is what errorText receives; the advice is what the doctor prints.
#pragma once

#include "serial/port.h"

#include <cstdint>

namespace kestar::serial {

struct StatusCode {
    std::int32_t code;
    const char* text;
    const char* advice;  // null: nothing an installation can change
};

// -1 to -42 in order, so that a code's row is found by its number.
inline constexpr StatusCode kStatusCodes[] = {
    {kGeneralError, "General Error", "check the device and the program that may use it, or change the port line"},
    {kInvalidPort, "Invalid Port", "COM numbers start at 1; -1 leaves the slot without a port"},
    {kPortInUse, "Port in Use", "close the program that uses the device, or give the port line a device of its own"},
    {kInvalidBufferSize, "Invalid Buffer Size", nullptr},
    {kOutOfMemory, "Out of Memory to Open a Port", "close other programs and start the host again"},
    {-6, "Port Has Not Been Initialized", nullptr},
    {-7, "Inverted Parity", nullptr},
    {kBufferEmpty, "Buffer Empty", nullptr},
    {kBufferFull, "Buffer Full", nullptr},
    {-10, "Time Out", nullptr},
    {-11, "No CTS", nullptr},
    {-12, "No CD", nullptr},
    {-13, "No DSR", nullptr},
    {kNo8250, "No 8250", "connect the device, or correct the COM number of the port line"},
    {-15, "Transmission Status", nullptr},
    {kUserAbort, "User Abort", nullptr},
    {-17, "File Error", nullptr},
    {-18, "Transmission Error", nullptr},
    {-19, "No Wide Receive", nullptr},
    {-20, "Conflict", nullptr},
    {-21, "Error Mode", nullptr},
    {-22, "No Hayes OK", nullptr},
    {-23, "No Hayes Response", nullptr},
    {kNotSupported, "Not Supported", "run the host on a system of the Windows NT family"},
    {kIllegalBaudRate, "Illegal Baud Rate", nullptr},  // the rates come from the line-setting rules
    {kIllegalParity, "Illegal Parity", nullptr},       // the letters come from the line-setting rules
    {kIllegalWordLength, "Illegal Word Length", "use 5 to 8 data bits"},
    {kIllegalStopBits, "Illegal Stop Bits", nullptr},  // the counts come from the line-setting rules
    {-29, "No Copyright Notice", nullptr},
    {-30, "Driver Not Installed", nullptr},
    {kOverflow, "Overflow", "shorten the port line: single blanks between the fields"},
    {-32, "Connect Failure", nullptr},
    {-33, "DOS Extender Error", nullptr},
    {-34, "Illegal Board Number", nullptr},
    {-35, "Board In Use", nullptr},
    {-36, "Handshake Block", nullptr},
    {-37, "Max Ports Exceeded", nullptr},
    {-38, "Illegal IRQ", nullptr},
    {-39, "IRQ In Use", nullptr},
    {-40, "Thunk Setup Failed", nullptr},
    {-41, "NASI Error", nullptr},
    {-42, "Packing Error", nullptr},
};
inline constexpr std::int32_t kLastTabledCode = -static_cast<std::int32_t>(sizeof kStatusCodes / sizeof kStatusCodes[0]);
inline constexpr StatusCode kUserDefinedStatus{kUserDefinedError, "User-Defined Error", nullptr};

constexpr bool StatusRowsInOrder() {
    for (std::int32_t i = 0; i < -kLastTabledCode; ++i) {
        if (kStatusCodes[i].code != -i - 1) return false;
    }
    return true;
}
static_assert(StatusRowsInOrder(), "row n of the status table holds code -(n+1)");

// The row for code; the General Error row for a code without one.
constexpr const StatusCode& StatusRow(std::int32_t code) {
    if (code == kUserDefinedError) return kUserDefinedStatus;
    if (code < 0 && code >= kLastTabledCode) return kStatusCodes[-code - 1];
    return kStatusCodes[0];
}

}  // namespace kestar::serial
