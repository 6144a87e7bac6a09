#include "platform/registry.h"

namespace kestar::platform {

RegistryOps& Registry() {
    static RegistryOps ops = RegistryDefaults();
    return ops;
}

}  // namespace kestar::platform
