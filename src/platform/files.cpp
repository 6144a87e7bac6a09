#include "platform/files.h"

namespace kestar::platform {

FileOps& Files() {
    static FileOps ops = FileDefaults();
    return ops;
}

}  // namespace kestar::platform
