// kestar-host doctor: checks an installation the way the module's start-up would
// and says, before the host runs it, whether InitializeCommunications will return 1
// and, if not, why. It changes nothing: no log file is emptied, nothing is written
// to the registry, no byte is sent to a device.
#pragma once

#include <string>

namespace kestar::tools {

struct DoctorOptions {
    std::string modulePath;
    bool json = false;
    bool open = false;  // open and close each port start-up would open
    bool arm = false;   // open COM1 through the arm library and take one reading
};

// Prints one line (or JSON object) per check and one for the verdict. Returns 0
// when InitializeCommunications would return 1, else 1.
int RunDoctor(const DoctorOptions& options);

}  // namespace kestar::tools
