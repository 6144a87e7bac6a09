#include "platform/profile.h"

namespace kestar::platform {

ProfileOps ProfileDefaults() { return ProfileOps{ReadProfileString}; }

}  // namespace kestar::platform
