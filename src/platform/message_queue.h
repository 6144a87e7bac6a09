// The calling thread's window-message queue, drained by the serial layer's idle
// routine while it waits. POSIX has no such queue: PeekMessageA finds nothing.
#pragma once

#include "platform/scoped_ops.h"

#include <cstdint>

namespace kestar::platform {

// Same members and widths as the system's MSG.
struct Msg {
    void* hwnd;
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    std::uint32_t time;
    std::int32_t ptX;
    std::int32_t ptY;
};

constexpr std::uint32_t kPmRemove = 0x0001;

struct MessageOps {
    int (*PeekMessageA)(Msg* msg, void* hwnd, std::uint32_t filterMin, std::uint32_t filterMax, std::uint32_t remove);
    int (*TranslateMessage)(const Msg* msg);
    std::intptr_t (*DispatchMessageA)(const Msg* msg);
};

MessageOps& Messages();
MessageOps MessageDefaults();

using ScopedMessageOps = ScopedOps<MessageOps, Messages>;

}  // namespace kestar::platform
