// The line settings the COM driver takes: rates, parity letters, stop bits and data
// bits, with the device codes they become. SetLine refuses what is not here, in the
// order baud rate, parity, stop bits.
#pragma once

#include "platform/serial.h"

#include <cstdint>

namespace kestar::serial {

// Rates up to this pass to the device unchanged; above it only the coded rates.
inline constexpr std::int32_t kHighestPlainRate = 57600;

struct CodedRate {
    std::int32_t rate;
    std::uint32_t deviceCode;
};
inline constexpr CodedRate kCodedRates[] = {{128000, 0x1FF00}, {256000, 0x3FF00}};

struct ParityLetter {
    char letter;  // taken in either case
    std::uint8_t code;
};
inline constexpr ParityLetter kParityLetters[] = {{'E', platform::kEvenParity},
                                                  {'M', platform::kMarkParity},
                                                  {'N', platform::kNoParity},
                                                  {'O', platform::kOddParity},
                                                  {'S', platform::kSpaceParity}};

struct StopBitsCount {
    std::int32_t count;
    std::uint8_t code;
};
inline constexpr StopBitsCount kStopBitCounts[] = {{1, platform::kOneStopBit}, {2, platform::kTwoStopBits}};

// Data bits pass the driver unchecked; devices take these.
inline constexpr int kFewestDataBits = 5;
inline constexpr int kMostDataBits = 8;

// The rates serial drivers commonly name (the Windows CBR_ set).
inline constexpr std::int32_t kStandardRates[] = {110,   300,   600,   1200,  2400,   4800,  9600,
                                                  14400, 19200, 38400, 57600, 128000, 256000};

constexpr bool DeviceBaudRate(std::int32_t rate, std::uint32_t& deviceRate) {
    if (rate > kHighestPlainRate) {
        for (const CodedRate& coded : kCodedRates) {
            if (coded.rate == rate) {
                deviceRate = coded.deviceCode;
                return true;
            }
        }
        return false;
    }
    deviceRate = static_cast<std::uint32_t>(rate);
    return true;
}

constexpr bool ParityCode(char letter, std::uint8_t& code) {
    for (const ParityLetter& parity : kParityLetters) {
        if ((static_cast<unsigned char>(letter) & 0xDFu) == static_cast<unsigned char>(parity.letter)) {
            code = parity.code;
            return true;
        }
    }
    return false;
}

constexpr bool StopBitsCode(std::int32_t count, std::uint8_t& code) {
    for (const StopBitsCount& stop : kStopBitCounts) {
        if (stop.count == count) {
            code = stop.code;
            return true;
        }
    }
    return false;
}

constexpr bool StandardRate(std::int32_t rate) {
    for (std::int32_t standard : kStandardRates) {
        if (standard == rate) return true;
    }
    return false;
}

// Whether this platform's serial driver takes the rate the COM driver asks of it
// (false also for a rate SetLine refuses first).
inline bool DriverTakesRate(std::int32_t rate) {
    std::uint32_t deviceRate = 0;
    return DeviceBaudRate(rate, deviceRate) && platform::SerialDriverTakesRate(deviceRate);
}

}  // namespace kestar::serial
