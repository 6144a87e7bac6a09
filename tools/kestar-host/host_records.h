// The records a host hands the module, at the sizes the host uses, wired together
// as the host wires them, with no port role named yet.
#pragma once

#include "kestar.h"
#include "serial/port_roles.h"

#include <cstddef>
#include <vector>

namespace kestar::tools {

constexpr std::size_t kInterfaceBlockSize = 1024;
constexpr std::size_t kMachineBlockSize = 256;
constexpr std::size_t kProbeBlockSize = 128;

struct HostRecords {
    std::vector<unsigned char> interfaceBytes = std::vector<unsigned char>(kInterfaceBlockSize, 0);
    std::vector<unsigned char> machineBytes = std::vector<unsigned char>(kMachineBlockSize, 0);
    std::vector<unsigned char> probeBytes = std::vector<unsigned char>(kProbeBlockSize, 0);

    HostRecords() {
        block().machine = reinterpret_cast<MachineBlock*>(machineBytes.data());
        block().probe = reinterpret_cast<ProbeBlock*>(probeBytes.data());
        ClearRoleFields(block());
    }
    InterfaceBlock& block() { return *reinterpret_cast<InterfaceBlock*>(interfaceBytes.data()); }
};

}  // namespace kestar::tools
