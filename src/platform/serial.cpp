#include "platform/serial.h"

namespace kestar::platform {

SerialOps& Serial() {
    static SerialOps ops = SerialDefaults();
    return ops;
}

}  // namespace kestar::platform
