// The C runtime's heap, as a table so that a test can make allocation fail.
#pragma once

#include <cstddef>

namespace kestar::platform {

struct MemoryOps {
    void* (*calloc)(std::size_t count, std::size_t size);
    void (*free)(void* block);
};

// The table in use; starts with the runtime's calloc and free.
MemoryOps& Memory();
MemoryOps MemoryDefaults();

class ScopedMemoryOps {
public:
    explicit ScopedMemoryOps(const MemoryOps& replacement) : previous_(Memory()) { Memory() = replacement; }
    ~ScopedMemoryOps() { Memory() = previous_; }
    ScopedMemoryOps(const ScopedMemoryOps&) = delete;
    ScopedMemoryOps& operator=(const ScopedMemoryOps&) = delete;

private:
    MemoryOps previous_;
};

}  // namespace kestar::platform
