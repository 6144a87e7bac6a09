#include "platform/security.h"

#include <cstddef>

namespace kestar::platform {

// The layouts of TOKEN_GROUPS and SID_AND_ATTRIBUTES, whose address fields set the padding.
static_assert(offsetof(TokenGroups, groups) == sizeof(void*), "TOKEN_GROUPS layout");
static_assert(sizeof(SidAndAttributes) == 2 * sizeof(void*), "SID_AND_ATTRIBUTES layout");

SecurityOps& Security() {
    static SecurityOps ops = SecurityDefaults();
    return ops;
}

}  // namespace kestar::platform
