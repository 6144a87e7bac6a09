#include "platform/debug_trace.h"

#include <windows.h>

namespace kestar::platform {

bool SystemTraceEnabled() { return true; }

void SystemTraceWrite(const char* text) { OutputDebugStringA(text); }

}  // namespace kestar::platform
