#include "platform/message_queue.h"

namespace kestar::platform {
namespace {

// A POSIX thread has no window-message queue: there is never a message waiting.
int NoMessage(Msg*, void*, std::uint32_t, std::uint32_t, std::uint32_t) { return 0; }
int TranslateNothing(const Msg*) { return 0; }
std::intptr_t DispatchNothing(const Msg*) { return 0; }

}  // namespace

MessageOps MessageDefaults() {
    MessageOps ops{};
    ops.PeekMessageA = NoMessage;
    ops.TranslateMessage = TranslateNothing;
    ops.DispatchMessageA = DispatchNothing;
    return ops;
}

}  // namespace kestar::platform
