// Command execution: what GetCommData carries out for each command code.
#pragma once

#include "kestar.h"

namespace kestar {

// Carries out block->command, as GetCommData exports it: 1 done, 0 failure (an
// unusable block, or the arm library failed) reported as 1001 "Interface Error"
// in the stored block (or, before any start-up, in the block given).
int RunCommandGuarded(InterfaceBlock* block);

}  // namespace kestar
