#include "platform/profile.h"

namespace kestar::platform {

ProfileOps ProfileDefaults() {
    ProfileOps ops{};
    ops.GetPrivateProfileString = ReadProfileString;
    return ops;
}

}  // namespace kestar::platform
