// Command execution: what GetCommData carries out for each command code.
#pragma once

#include "kestar.h"

namespace kestar {

// Carries out block->command. Always returns 1; throws when the block is unusable
// or the arm library failed, which GetCommData's guard turns into 1001.
int ExecuteCommand(InterfaceBlock* block);

// The guard around ExecuteCommand that GetCommData exports: 1 done, 0 failure
// reported as 1001 "Interface Error" in the stored block (or, before any
// start-up, in the block given).
int RunCommandGuarded(InterfaceBlock* block);

}  // namespace kestar
