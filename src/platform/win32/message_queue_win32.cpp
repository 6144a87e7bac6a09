#include "platform/message_queue.h"

#include <windows.h>

#include <cstddef>

namespace kestar::platform {

static_assert(sizeof(Msg) == sizeof(MSG));
static_assert(offsetof(Msg, message) == offsetof(MSG, message));
static_assert(offsetof(Msg, wParam) == offsetof(MSG, wParam));
static_assert(offsetof(Msg, lParam) == offsetof(MSG, lParam));
static_assert(offsetof(Msg, time) == offsetof(MSG, time));
static_assert(offsetof(Msg, ptX) == offsetof(MSG, pt));

namespace {

int WinPeekMessageA(Msg* msg, void* hwnd, std::uint32_t filterMin, std::uint32_t filterMax, std::uint32_t remove) {
    return ::PeekMessageA(reinterpret_cast<MSG*>(msg), static_cast<HWND>(hwnd), filterMin, filterMax, remove);
}
int WinTranslateMessage(const Msg* msg) { return ::TranslateMessage(reinterpret_cast<const MSG*>(msg)); }
std::intptr_t WinDispatchMessageA(const Msg* msg) { return ::DispatchMessageA(reinterpret_cast<const MSG*>(msg)); }

}  // namespace

MessageOps MessageDefaults() {
    MessageOps ops{};
    ops.PeekMessageA = WinPeekMessageA;
    ops.TranslateMessage = WinTranslateMessage;
    ops.DispatchMessageA = WinDispatchMessageA;
    return ops;
}

}  // namespace kestar::platform
