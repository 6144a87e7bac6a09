// Why a start-up returned 0, in words an integrator can act on.
#pragma once

#include "kestar.h"

#include <string>

namespace kestar::tools {

struct StartUpFailure {
    std::string reason;  // the step start-up failed at ("App Paths", "PORT3", ...)
    std::string found;   // what was found there
    std::string todo;    // what to do about it; may be empty
};

// Explains a start-up of the module at modulePath that returned 0 and left block as
// it is: the first reason the doctor's observation of start-up finds (devices are not
// opened again; the failed start still holds them), else the port status start-up
// wrote into the block, with the status table's advice.
StartUpFailure ExplainFailedStartUp(const std::string& modulePath, const InterfaceBlock& block);

}  // namespace kestar::tools
