#include "platform/profile.h"

namespace kestar::platform {

ProfileOps& Profile() {
    static ProfileOps ops = ProfileDefaults();
    return ops;
}

}  // namespace kestar::platform
