// kestar-host ports: every serial port of this machine, one line each: its COM
// number and the device behind it, what the system says of it (a USB adapter's
// ids and serial number), the port line of the settings file that names it (or
// that it is the arm's), and with --open whether it can be opened now.
#pragma once

#include <string>
#include <vector>

namespace kestar::tools {

struct PortsRequest {
    bool json = false;
    bool open = false;               // open and close each port, sending nothing
    std::string sysRoot = "/sys";    // POSIX: where sysfs is
};

// The arguments after "ports" (--json and --module may stand anywhere). False with
// problem set on a usage error.
bool ParsePortsArguments(const std::vector<std::string>& args, PortsRequest& request, std::string& problem);

// The exit statuses of ports.
constexpr int kPortsListed = 0;   // at least one port was found (whatever --open found)
constexpr int kPortsNone = 1;     // none was found; the line says what to do

// The listing as it is printed: one line (JSON object) a port. Returns the exit status.
int ListPorts(const PortsRequest& request, std::string& out);

// Prints the listing. Returns the exit status.
int RunPorts(const PortsRequest& request);

}  // namespace kestar::tools
