// kestar-soak [cycles] [readings]: loads the module the way the host does and runs
// cycles of InitializeCommunications, readings (C_READ_COORDS through GetCommData)
// and TerminateCommunications against the installation the environment names, as
// scripts/soak sets it up (two serial ports). After every tenth of the cycles it
// prints the descriptors (Linux) or handles (Windows) the process holds, its heap
// bytes in use and its resident memory; the verdict compares the end with the first tenth. Exit status 0 when
// every call succeeded and both stayed flat.
#include "kestar.h"
#include "host_records.h"
#include "loaded_module.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#else
#include <dirent.h>
#include <malloc.h>
#endif

namespace {

using kestar::tools::HostRecords;

// The runtime's own caches (stdio, locale) settle during the first tenth of the
// cycles; after it a cycle that gives back all it took leaves the heap exactly as
// it was, so any growth counts.
constexpr long long kMemorySlack = 0;

struct Sample {
    long cycle;
    long handles;       // descriptors (Linux) or handles (Windows)
    long long heap;     // heap bytes in use
    long long resident; // resident set (Linux) or working set (Windows)
};

#if defined(_WIN32)
// The handles of the process: the system's count where it keeps one, else (Wine
// answers 0) the handle values that name an object, probed one by one.
long HandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return static_cast<long>(count);
    long probed = 0;
    for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++probed;
    }
    return probed;
}

// Bytes in use in every heap of the process (the C runtime allocates from them).
long long HeapInUse() {
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    long long inUse = 0;
    for (DWORD i = 0; i < count && i < 64; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) inUse += entry.cbData;
        }
        HeapUnlock(heaps[i]);
    }
    return inUse;
}
#endif

Sample Measure(long cycle) {
    Sample s{cycle, 0, 0, 0};
#if defined(_WIN32)
    s.handles = HandleCount();
    s.heap = HeapInUse();
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    s.resident = static_cast<long long>(memory.WorkingSetSize);
#else
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (readdir(folder) != nullptr) ++s.handles;
        closedir(folder);
        s.handles -= 3;  // ".", ".." and the folder's own descriptor
    }
    s.heap = static_cast<long long>(mallinfo2().uordblks);
    if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            long long kb = 0;
            if (std::sscanf(line, "VmRSS: %lld kB", &kb) == 1) s.resident = kb * 1024;
        }
        std::fclose(status);
    }
#endif
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const long cycles = argc > 1 ? std::atol(argv[1]) : 200;
    const long readings = argc > 2 ? std::atol(argv[2]) : 1000;
    if (cycles < 10 || readings < 0) {
        std::fprintf(stderr, "usage: kestar-soak [cycles (10 or more)] [readings]\n");
        return 2;
    }
#if defined(_WIN32)
    const std::string path = kestar::tools::ProgramDirectory() + "\\" + kestar::tools::ModuleFileName();
#else
    const std::string path = kestar::tools::ProgramDirectory() + "/" + kestar::tools::ModuleFileName();
#endif
    kestar::tools::LoadedModule module(path);
    if (!module.complete()) {
        std::fprintf(stderr, "kestar-soak: cannot load '%s': %s\n", path.c_str(), module.error().c_str());
        return 2;
    }
    HostRecords records;
    InterfaceBlock& block = records.block();
    const long tenth = cycles / 10;
    std::vector<Sample> samples;
    samples.reserve(static_cast<std::size_t>(cycles / tenth) + 1);  // no growth of its own in the figures
    std::printf("%8s %10s %14s %14s\n", "cycle", "handles", "heap in use", "resident");
    for (long cycle = 1; cycle <= cycles; ++cycle) {
        block.errorCode = 0;
        if (module.initializeCommunications(&block, 0, nullptr) != 1) {
            std::printf("cycle %ld: InitializeCommunications returned 0: errorCode %d '%.80s'\n", cycle,
                        block.errorCode, block.errorText);
            return 1;
        }
        for (long i = 0; i < readings; ++i) {
            block.command = C_READ_COORDS;
            if (module.getCommData(&block) != 1) {
                std::printf("cycle %ld, reading %ld: GetCommData returned 0: errorCode %d\n", cycle, i,
                            block.errorCode);
                return 1;
            }
        }
        module.terminateCommunications();
        if (cycle % tenth == 0) {
            samples.push_back(Measure(cycle));
            const Sample& s = samples.back();
            std::printf("%8ld %10ld %14lld %14lld\n", s.cycle, s.handles, s.heap, s.resident);
            std::fflush(stdout);
        }
    }
    const Sample& first = samples.front();
    const Sample& last = samples.back();
    const bool handlesFlat = last.handles <= first.handles;
    const bool memoryFlat = last.heap - first.heap <= kMemorySlack;
    std::printf("after cycle %ld vs cycle %ld (%ld readings a cycle): handles %+ld, heap in use %+lld bytes, "
                "resident %+lld bytes: %s\n",
                last.cycle, first.cycle, readings, last.handles - first.handles, last.heap - first.heap,
                last.resident - first.resident, handlesFlat && memoryFlat ? "flat" : "GROWING");
    return handlesFlat && memoryFlat ? 0 : 1;
}
