#include "platform/serial.h"

namespace kestar::platform {

SerialOps& Serial() {
    static SerialOps ops = SerialDefaults();
    return ops;
}

Bool ClearCommErrorWhole(Handle device, std::uint32_t, std::uint32_t* errors, ComStat* stat) {
    return Serial().ClearCommError(device, errors, stat);
}

}  // namespace kestar::platform
