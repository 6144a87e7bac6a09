// kestar-host doctor --loopback COMn: the serial path checked on site with a
// loopback plug (or a null-modem cable to a second port whose program echoes).
// The port is opened through the module's own port layer with the line settings
// the settings file gives that COM number; a known pattern is written and read
// back. The report gives bytes sent and received with the first mismatch, the line
// errors, the achieved rate against the line rate and whether writes pended. A
// device that answers nothing is reported as such within a bound. Nothing else is
// touched: no log, no registry, no other port.
#pragma once

#include "serial/port.h"
#include "serial/port_manager.h"

#include <string>

namespace kestar::tools {

struct LoopbackOptions {
    int comNumber = 0;  // COM1 is 1
    bool json = false;
};

// "COM3", "com3" or "3" to 3; 0 when the text names no COM port.
int ParseComName(const std::string& text);

// The line settings start-up would give the COM port: from the first port line
// start-up opens on it, else the port lines' own defaults.
struct LineChoice {
    ComRequest request{};
    std::string key;   // "PORT2", or empty when no line names the port
    std::string line;  // the line's text
};
LineChoice ChooseLine(int comNumber);

// The port as the module's port layer opens it for the line settings (never null;
// its status tells whether it opened). The caller closes it with its ops.Close;
// nothing is sent.
serial::Port* OpenLinePort(const ComRequest& request);

// Prints one line (or JSON object) per finding and a verdict. Returns 0 when every
// byte came back unchanged and without line errors, else 1.
int RunLoopback(const LoopbackOptions& options);

}  // namespace kestar::tools
