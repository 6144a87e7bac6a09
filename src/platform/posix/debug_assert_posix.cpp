#include "platform/debug_assert.h"

namespace kestar::platform {

// No debugger channel to break into; the trace report stands alone.
void BreakIntoDebugger() {}

}  // namespace kestar::platform
