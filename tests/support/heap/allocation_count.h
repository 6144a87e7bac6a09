// Counts the process's heap allocations while a counter lives: every call of malloc,
// calloc and realloc, and so every operator new, which takes its memory from malloc.
// Linux: by interposition, which also sees the C library's own calls. Windows, where
// the tests link their runtime statically: by the linker's --wrap, which sees every
// call from the program and the runtime linked into it.
#pragma once

namespace kestar::testing {

class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    // Allocations since construction, on any thread.
    long count() const;

    // False where the count cannot be taken (a sanitizer owns the heap).
    static bool Supported();
};

}  // namespace kestar::testing
