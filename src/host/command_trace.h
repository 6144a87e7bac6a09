// The command trace: one interface-log line naming the command held in the
// stored interface block, with its parameters.
#pragma once

#include <string>

namespace kestar {

// Writes the line for the stored block's command (nothing for C_READ_COORDS and
// C_M_POINT, and nothing before the first start-up, when no block is stored).
void TraceCommand();

// The text TraceCommand writes for these values (before the time prefix).
std::string CommandTraceText(int command, int commandParam, int callbacksParam);

}  // namespace kestar
