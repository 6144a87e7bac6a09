// Small system services shared by several subsystems: the version word, the
// millisecond tick count, sleeping and the local time of day.
//
// The table starts with the system's own calls; a test replaces entries (a clock
// it advances itself, a version word of another platform) and restores them.
#pragma once

#include "platform/scoped_ops.h"

#include <cstdint>

namespace kestar::platform {

struct TimeOfDay {
    int hour;    // 0..23
    int minute;  // 0..59
    int second;  // 0..59 (60 in a leap second)
};

struct SystemOps {
    // Windows GetVersion: low byte major version, next byte minor, bit 31 set on
    // platforms without the NT security model. POSIX: an NT-style word (bit 31 clear).
    std::uint32_t (*GetVersion)();
    // Milliseconds since some start, wrapping at 2^32 (GetTickCount).
    std::uint32_t (*GetTickCount)();
    void (*Sleep)(std::uint32_t milliseconds);
    TimeOfDay (*LocalTimeOfDay)();
};

// The table in use.
SystemOps& System();

// The system's own table, to restore after a test.
SystemOps SystemDefaults();

// Replaces the table for its lifetime and restores the previous one.
using ScopedSystemOps = ScopedOps<SystemOps, System>;

}  // namespace kestar::platform
