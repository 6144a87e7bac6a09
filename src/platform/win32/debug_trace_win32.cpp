#include "platform/debug_trace.h"

#include <windows.h>

namespace kestar::platform {

bool detail::systemTraceOn = true;  // OutputDebugStringA always takes text

void SystemTraceWrite(const char* text) { OutputDebugStringA(text); }

}  // namespace kestar::platform
