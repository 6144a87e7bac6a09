#include "platform/security.h"

#include <cstddef>

namespace kestar::platform {

// The system's records as a 32-bit process sees them; a 64-bit checking build has wider ones.
#if defined(__i386__) || defined(_M_IX86)
static_assert(offsetof(TokenGroups, groups) == 4, "TOKEN_GROUPS layout");
static_assert(sizeof(SidAndAttributes) == 8, "SID_AND_ATTRIBUTES layout");
#endif

SecurityOps& Security() {
    static SecurityOps ops = SecurityDefaults();
    return ops;
}

}  // namespace kestar::platform
