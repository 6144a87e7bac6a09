#include "platform/memory.h"

#include <cstdlib>

namespace kestar::platform {
namespace {

void* RuntimeCalloc(std::size_t count, std::size_t size) { return std::calloc(count, size); }
void RuntimeFree(void* block) { std::free(block); }

}  // namespace

MemoryOps MemoryDefaults() {
    MemoryOps ops{};
    ops.calloc = RuntimeCalloc;
    ops.free = RuntimeFree;
    return ops;
}

MemoryOps& Memory() {
    static MemoryOps ops = MemoryDefaults();
    return ops;
}

}  // namespace kestar::platform
