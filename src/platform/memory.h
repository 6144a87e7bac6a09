// The C runtime's heap, as a table so that a test can make allocation fail.
#pragma once

#include "platform/scoped_ops.h"

#include <cstddef>

namespace kestar::platform {

struct MemoryOps {
    void* (*calloc)(std::size_t count, std::size_t size);
    void (*free)(void* block);
};

// The table in use; starts with the runtime's calloc and free.
MemoryOps& Memory();
MemoryOps MemoryDefaults();

using ScopedMemoryOps = ScopedOps<MemoryOps, Memory>;

}  // namespace kestar::platform
