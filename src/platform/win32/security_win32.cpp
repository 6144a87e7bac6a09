#include "platform/security.h"

#include <windows.h>

namespace kestar::platform {
namespace {

bool WinOpenProcessToken(std::uint32_t access, TokenHandle* token) {
    HANDLE opened = nullptr;
    BOOL ok = ::OpenProcessToken(::GetCurrentProcess(), access, &opened);
    *token = ok ? reinterpret_cast<TokenHandle>(opened) : 0;
    return ok != FALSE;
}

bool WinGetTokenInformation(TokenHandle token, int infoClass, void* buffer, std::uint32_t size,
                            std::uint32_t* returned) {
    DWORD length = 0;
    BOOL ok = ::GetTokenInformation(reinterpret_cast<HANDLE>(token), static_cast<TOKEN_INFORMATION_CLASS>(infoClass),
                                    buffer, size, &length);
    if (returned != nullptr) *returned = length;
    return ok != FALSE;
}

bool WinCloseHandle(TokenHandle token) { return ::CloseHandle(reinterpret_cast<HANDLE>(token)) != FALSE; }

bool WinAllocateAndInitializeSid(const SidIdentifierAuthority* authority, std::uint8_t count,
                                 const std::uint32_t s[8], Sid** sid) {
    SID_IDENTIFIER_AUTHORITY a;
    for (int i = 0; i < 6; ++i) a.Value[i] = authority->value[i];
    PSID built = nullptr;
    BOOL ok = ::AllocateAndInitializeSid(&a, count, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], &built);
    *sid = ok ? built : nullptr;
    return ok != FALSE;
}

bool WinEqualSid(Sid* a, Sid* b) { return ::EqualSid(a, b) != FALSE; }

void WinFreeSid(Sid* sid) { ::FreeSid(sid); }

}  // namespace

SecurityOps SecurityDefaults() {
    SecurityOps ops{};
    ops.OpenProcessToken = WinOpenProcessToken;
    ops.GetTokenInformation = WinGetTokenInformation;
    ops.CloseHandle = WinCloseHandle;
    ops.AllocateAndInitializeSid = WinAllocateAndInitializeSid;
    ops.EqualSid = WinEqualSid;
    ops.FreeSid = WinFreeSid;
    return ops;
}

}  // namespace kestar::platform
