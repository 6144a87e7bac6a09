// The host's records as the module uses them, and the module-wide stored block.
#pragma once

#include "kestar.h"

#include <cstddef>

namespace kestar {

constexpr int kReadCoordsCommand = C_READ_COORDS;

// The block received by the last InitializeCommunications; null until the first.
// Used wherever no block is passed in (the error guard, the command trace,
// the port manager, the callback pump). Never cleared.
extern InterfaceBlock* storedInterfaceBlock;

inline MachineBlock* MachineOf(const InterfaceBlock* block) { return block->machine; }
inline ProbeBlock* ProbeOf(const InterfaceBlock* block) { return block->probe; }

inline void Set(Point3& point, double x, double y, double z) {
    point.x = x;
    point.y = y;
    point.z = z;
}

// Copies text and its terminator into a fixed field, cut to fit; bytes after the
// terminator are left as they were.
template <std::size_t N>
void CopyText(char (&field)[N], const char* text) {
    std::size_t i = 0;
    for (; i + 1 < N && text[i] != '\0'; ++i) field[i] = text[i];
    field[i] = '\0';
}

// Copies text into a fixed field, cut to fit, the rest zero-filled (always terminated).
template <std::size_t N>
void CopyFixedText(char (&field)[N], const char* text) {
    std::size_t i = 0;
    for (; i + 1 < N && text[i] != '\0'; ++i) field[i] = text[i];
    for (; i < N; ++i) field[i] = '\0';
}

}  // namespace kestar
