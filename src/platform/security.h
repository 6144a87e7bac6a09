// The process token and security identifiers, for the administrator test.
//
// The records have the Win32 layouts (TOKEN_GROUPS, SID_AND_ATTRIBUTES, SID), so a
// test can hand over a group list exactly as Windows fills it. Windows: the real
// token calls. POSIX: a token whose only group is Administrators when the effective
// user is 0, and SID routines that work on the same bytes.
#pragma once

#include "platform/scoped_ops.h"

#include <cstdint>

namespace kestar::platform {

using TokenHandle = std::uintptr_t;
using Sid = void;  // an opaque SID record

struct SidAndAttributes {
    Sid* sid;
    std::uint32_t attributes;
};

struct TokenGroups {
    std::uint32_t groupCount;
    SidAndAttributes groups[1];  // groupCount entries
};

struct SidIdentifierAuthority {
    std::uint8_t value[6];
};

constexpr std::uint32_t kTokenRead = 0x20008u;
constexpr int kTokenGroupsClass = 2;
constexpr std::uint32_t kSeGroupEnabled = 0x4u;
constexpr std::uint32_t kSeGroupUseForDenyOnly = 0x10u;

struct SecurityOps {
    // OpenProcessToken(GetCurrentProcess(), access, token).
    bool (*OpenProcessToken)(std::uint32_t access, TokenHandle* token);
    bool (*GetTokenInformation)(TokenHandle token, int infoClass, void* buffer, std::uint32_t size,
                                std::uint32_t* returned);
    bool (*CloseHandle)(TokenHandle token);
    bool (*AllocateAndInitializeSid)(const SidIdentifierAuthority* authority, std::uint8_t count,
                                     const std::uint32_t subAuthorities[8], Sid** sid);
    bool (*EqualSid)(Sid* a, Sid* b);
    void (*FreeSid)(Sid* sid);
};

SecurityOps& Security();
SecurityOps SecurityDefaults();

using ScopedSecurityOps = ScopedOps<SecurityOps, Security>;

}  // namespace kestar::platform
