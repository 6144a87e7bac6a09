// The line-setting and modem slots of the POSIX serial table.
#pragma once

#include "platform/serial.h"

namespace kestar::platform {

// Fills GetCommState, SetCommState, Get/SetCommTimeouts, Get/SetCommMask,
// EscapeCommFunction, Set/ClearCommBreak and GetCommModemStatus.
void FillLineOps(SerialOps& ops);

}  // namespace kestar::platform
