#include "support/heap/allocation_count.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTAR_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define KESTAR_COUNT_ALLOCATIONS 0
#endif
#endif
#if !defined(KESTAR_COUNT_ALLOCATIONS)
#define KESTAR_COUNT_ALLOCATIONS 1
#endif

namespace {

// Plain globals, zero before any constructor runs: the C library allocates early.
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

inline void Note() {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

namespace kestar::testing {

AllocationCounter::AllocationCounter() {
    allocations = 0;
    counting = true;
}

AllocationCounter::~AllocationCounter() { counting = false; }

long AllocationCounter::count() const { return allocations.load(); }

bool AllocationCounter::Supported() { return KESTAR_COUNT_ALLOCATIONS != 0; }

}  // namespace kestar::testing

#if KESTAR_COUNT_ALLOCATIONS

#if defined(_WIN32)
// The linker sends every call of these to __wrap_*, and __real_* to the runtime's.
extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void* __wrap_malloc(std::size_t size) {
    Note();
    return __real_malloc(size);
}
void* __wrap_calloc(std::size_t count, std::size_t size) {
    Note();
    return __real_calloc(count, size);
}
void* __wrap_realloc(void* block, std::size_t size) {
    Note();
    return __real_realloc(block, size);
}
}
#elif defined(__GLIBC__)
// The program's own definitions take the place of the C library's for the whole
// process, the library's internal calls included; the library's allocator does the work.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void __libc_free(void* block);
void* malloc(std::size_t size) noexcept {
    Note();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    Note();
    return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) noexcept {
    Note();
    return __libc_realloc(block, size);
}
void free(void* block) noexcept { __libc_free(block); }
}
#endif

#endif
