#include "command_execution.h"

#include "commands.h"
#include "interface_block.h"
#include "platform/arm_library.h"
#include "platform/debug_trace.h"

#include <stdexcept>

namespace kestar {
namespace {

constexpr int kArmStatusPointTaken = 1;
constexpr int kArmStatusEvent = 2;
constexpr double kHeadMoveValue = 4.0;

ProbeBlock& RequireProbe(const InterfaceBlock& block) {
    if (block.probe == nullptr) throw std::invalid_argument("interface block without a probe block");
    return *block.probe;
}

void ArmReading(InterfaceBlock& block) {
    // Zero-filled so that an arm library filling only part of the array never
    // hands stack contents on to the host.
    double reading[platform::kArmReadingSize] = {};
    int status = 0;
    if (!platform::ArmLeggeQuota(reading, &status)) throw platform::ArmLibraryError("LeggeQuota is not available");

    ProbeBlock& probe = RequireProbe(block);
    Set(block.position, reading[0], reading[1], reading[2]);
    probe.pointTaken = 0;
    if (status == kArmStatusPointTaken) {
        Set(block.measuredPoint, reading[0], reading[1], reading[2]);
        probe.pointTaken = 1;
    } else if (status == kArmStatusEvent) {
        block.eventCode = KESTAR_ARM_EVENT_CODE;
    }
    Set(block.armVector, -reading[12], -reading[13], -reading[14]);
    const Point3& m = block.measuredPoint;
    const Point3& v = block.armVector;
    Set(block.offsetPoint, m.x + v.x, m.y + v.y, m.z + v.z);

    if (platform::TraceEnabled()) {
        platform::Trace("%10.3f %10.3f %10.3f %6.3f %6.3f %6.3f <%d>\n", block.position.x, block.position.y,
                        block.position.z, v.x, v.y, v.z, status);
    }
}

// Carries out block->command. Always returns 1; throws when the block is unusable
// or the arm library failed. Its one caller is the guard below, into which it is
// folded: a reading, the host's every call, makes no call of its own for it.
int ExecuteCommand(InterfaceBlock* block) {
    if (block == nullptr) throw std::invalid_argument("no interface block");
    block->commandSeen = 1;
    const Command* command = FindCommand(block->command);
    const CommandAction action = command != nullptr ? command->action : CommandAction::kNothing;
    if (action == CommandAction::kArmReading) {  // the host's every call, ahead of the rest
        ArmReading(*block);
        return 1;
    }
    switch (action) {
        case CommandAction::kAcknowledge:
            return 1;
        case CommandAction::kReady:
            block->interfaceReady = 1;
            return 1;
        case CommandAction::kArmReading:  // above
        case CommandAction::kResetEncoder:
            if (!platform::ArmResetEncoder()) throw platform::ArmLibraryError("ResetEncoder is not available");
            break;
        case CommandAction::kHeadMove:
            RequireProbe(*block).headMoveValue = kHeadMoveValue;
            break;
        case CommandAction::kNothing:
            break;
    }
    block->command = kReadCoordsCommand;
    return 1;
}

}  // namespace

int RunCommandGuarded(InterfaceBlock* block) {
    try {
        return ExecuteCommand(block) != 0 ? 1 : 0;
    } catch (...) {
        InterfaceBlock* target = storedInterfaceBlock.load();
        if (target == nullptr) target = block;
        if (target != nullptr) {
            target->errorCode = KESTAR_INTERFACE_ERROR_CODE;
            CopyText(target->errorText, KESTAR_INTERFACE_ERROR_TEXT);
        }
        return 0;
    }
}

}  // namespace kestar
