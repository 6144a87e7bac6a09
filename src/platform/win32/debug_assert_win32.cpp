#include "platform/debug_assert.h"

#include <windows.h>

namespace kestar::platform {

void BreakIntoDebugger() {
    if (::IsDebuggerPresent()) ::DebugBreak();
}

}  // namespace kestar::platform
