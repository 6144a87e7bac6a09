// The host's records as the module uses them, and the module-wide stored block.
#pragma once

#include "kestar.h"
#include "platform/text_format.h"

#include <atomic>
#include <cstddef>

namespace kestar {

constexpr int kReadCoordsCommand = C_READ_COORDS;

// The block received by the last InitializeCommunications; null until the first.
// Used wherever no block is passed in (the error guard, the command trace,
// the port manager, the callback pump). Never cleared. Atomic: the callback pump
// reads it on its own thread while a start-up on the host's thread may store a new
// one, and the pump must see either block whole, never a torn or stale pointer.
extern std::atomic<InterfaceBlock*> storedInterfaceBlock;

inline MachineBlock* MachineOf(const InterfaceBlock* block) { return block->machine; }
inline ProbeBlock* ProbeOf(const InterfaceBlock* block) { return block->probe; }

inline void Set(Point3& point, double x, double y, double z) {
    point.x = x;
    point.y = y;
    point.z = z;
}

using platform::CopyFixedText;
using platform::CopyText;

}  // namespace kestar
