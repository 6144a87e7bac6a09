#include "platform/security.h"

#include <cstddef>

namespace kestar::platform {

static_assert(offsetof(TokenGroups, groups) == 4, "TOKEN_GROUPS layout");
static_assert(sizeof(SidAndAttributes) == 8, "SID_AND_ATTRIBUTES layout");

SecurityOps& Security() {
    static SecurityOps ops = SecurityDefaults();
    return ops;
}

}  // namespace kestar::platform
