#include "platform/system.h"

namespace kestar::platform {

SystemOps& System() {
    static SystemOps ops = SystemDefaults();
    return ops;
}

}  // namespace kestar::platform
