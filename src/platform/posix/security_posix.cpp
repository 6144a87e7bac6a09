// A process token for POSIX: its one group is the Administrators SID when the
// effective user is 0, and an ordinary user's SID otherwise. The SID routines work
// on the Windows SID layout: revision, count, six authority bytes, 32-bit sub-authorities.
#include "platform/security.h"

#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace kestar::platform {
namespace {

constexpr std::uint8_t kSidRevision = 1;
constexpr std::uint8_t kMaxSubAuthorities = 15;
constexpr TokenHandle kProcessToken = 0x7001;

struct SidHeader {
    std::uint8_t revision;
    std::uint8_t subAuthorityCount;
    std::uint8_t authority[6];
};

std::size_t SidLength(const void* sid) {
    return sizeof(SidHeader) + std::size_t{4} * static_cast<const SidHeader*>(sid)->subAuthorityCount;
}

bool PosixOpenProcessToken(std::uint32_t, TokenHandle* token) {
    *token = kProcessToken;
    return true;
}

bool PosixGetTokenInformation(TokenHandle token, int infoClass, void* buffer, std::uint32_t size,
                              std::uint32_t* returned) {
    if (token != kProcessToken || infoClass != kTokenGroupsClass) return false;
    // One group: S-1-5-32-544 for user 0, S-1-5-21-<uid> for everyone else.
    const bool administrator = ::geteuid() == 0;
    const std::uint32_t needed = sizeof(TokenGroups) + sizeof(SidHeader) + 8;
    if (returned != nullptr) *returned = needed;
    if (buffer == nullptr || size < needed) return false;
    std::memset(buffer, 0, needed);
    auto* groups = static_cast<TokenGroups*>(buffer);
    auto* sid = reinterpret_cast<unsigned char*>(buffer) + sizeof(TokenGroups);
    SidHeader header{kSidRevision, 2, {0, 0, 0, 0, 0, 5}};
    std::memcpy(sid, &header, sizeof header);
    const std::uint32_t sub[2] = {administrator ? 32u : 21u, administrator ? 544u : static_cast<std::uint32_t>(::geteuid())};
    std::memcpy(sid + sizeof header, sub, sizeof sub);
    groups->groupCount = 1;
    groups->groups[0].sid = sid;
    groups->groups[0].attributes = kSeGroupEnabled;
    return true;
}

bool PosixCloseHandle(TokenHandle token) { return token == kProcessToken; }

bool PosixAllocateAndInitializeSid(const SidIdentifierAuthority* authority, std::uint8_t count,
                                   const std::uint32_t s[8], Sid** sid) {
    *sid = nullptr;
    if (count == 0 || count > 8) return false;
    unsigned char* built = static_cast<unsigned char*>(std::calloc(1, sizeof(SidHeader) + std::size_t{4} * count));
    if (built == nullptr) return false;
    SidHeader header{kSidRevision, count, {}};
    std::memcpy(header.authority, authority->value, 6);
    std::memcpy(built, &header, sizeof header);
    std::memcpy(built + sizeof header, s, std::size_t{4} * count);
    *sid = built;
    return true;
}

bool PosixEqualSid(Sid* a, Sid* b) {
    const auto* ha = static_cast<const SidHeader*>(a);
    const auto* hb = static_cast<const SidHeader*>(b);
    if (ha->revision != kSidRevision || hb->revision != kSidRevision) return false;
    if (ha->subAuthorityCount > kMaxSubAuthorities || ha->subAuthorityCount != hb->subAuthorityCount) return false;
    return std::memcmp(a, b, SidLength(a)) == 0;
}

void PosixFreeSid(Sid* sid) { std::free(sid); }

}  // namespace

SecurityOps SecurityDefaults() {
    SecurityOps ops{};
    ops.OpenProcessToken = PosixOpenProcessToken;
    ops.GetTokenInformation = PosixGetTokenInformation;
    ops.CloseHandle = PosixCloseHandle;
    ops.AllocateAndInitializeSid = PosixAllocateAndInitializeSid;
    ops.EqualSid = PosixEqualSid;
    ops.FreeSid = PosixFreeSid;
    return ops;
}

}  // namespace kestar::platform
