// The translation between a device control block and termios, and the timing of
// a read, as pure functions: no device is touched, so every data size, parity,
// stop bit and handshake is checked from tables, in both directions.
#pragma once

#include "platform/serial.h"

#include <cstdint>
#include <termios.h>

namespace kestar::platform {

// The termios code of a rate; false when termios names no such rate.
bool SpeedCode(std::uint32_t rate, speed_t& code);
// The rate of a termios code; 0 for a code of no known rate.
std::uint32_t SpeedRate(speed_t code);

// Whether termios can carry the rate, data size, parity and stop bits of dcb.
bool TermiosCarries(const Dcb& dcb);

// Sets tio to the raw line dcb asks for (dcb must be one TermiosCarries takes).
// eightBitsOnly: the device carries 8 data bits without parity whatever is asked
// (a pseudo-terminal), so it is asked only for that.
void DcbToTermios(const Dcb& dcb, bool eightBitsOnly, termios& tio);

// Reads the rate, data size, parity, stop bits and handshakes termios holds into
// dcb; the members termios has no place for (fParity among them) are left as they are.
void TermiosToDcb(const termios& tio, Dcb& dcb);

// "no", "odd", "even", "mark", "space", or "unknown".
const char* ParityName(std::uint8_t parity);

// The total time a read of length bytes may take under t, in milliseconds;
// 0 when the timeouts set no total. Never wraps: a large multiplier gives a
// large total, not a small one.
std::uint64_t ReadTotalTimeout(const CommTimeouts& t, std::uint32_t length);

// What to hand poll for the rest of a total: -1 (wait for bytes without end) when
// there is no total, else what is left of it, from 0 to the most poll takes.
int PollWaitMs(std::uint64_t total, std::uint64_t elapsed);

}  // namespace kestar::platform
