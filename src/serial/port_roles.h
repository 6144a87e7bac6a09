// The device roles a port line can name, in the order a line's role is compared,
// with the interface block field that receives the slot of the role's port.
#pragma once

#include "kestar.h"

namespace kestar {

struct PortRole {
    const char* name;              // as a port line writes it, matched exactly
    int InterfaceBlock::*field;    // receives the slot number; -1 when no line names the role
    const char* fieldName;
};

inline constexpr PortRole kPortRoles[] = {
    {"Controller", &InterfaceBlock::controllerPort, "controllerPort"},
    {"Probe", &InterfaceBlock::probePort, "probePort"},
    {"DRO", &InterfaceBlock::droPort, "droPort"},
    {"Handbox", &InterfaceBlock::handboxPort, "handboxPort"},
    {"Sensor", &InterfaceBlock::sensorPort, "sensorPort"},
    {"Host", &InterfaceBlock::hostPort, "hostPort"},
    {"Toolchanger", &InterfaceBlock::toolchangerPort, "toolchangerPort"},
};
inline constexpr int kPortRoleCount = static_cast<int>(sizeof kPortRoles / sizeof kPortRoles[0]);

// Every role field of block set to -1: no slot holds that role.
inline void ClearRoleFields(InterfaceBlock& block) {
    for (const PortRole& role : kPortRoles) block.*role.field = -1;
}

}  // namespace kestar
