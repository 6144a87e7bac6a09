#include "platform/message_queue.h"

namespace kestar::platform {

MessageOps& Messages() {
    static MessageOps ops = MessageDefaults();
    return ops;
}

}  // namespace kestar::platform
