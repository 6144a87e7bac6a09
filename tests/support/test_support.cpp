#include "support/test_support.h"

#include "host/interface_block.h"
#include "loaded_module.h"
#include "platform/debug_trace.h"
#include "serial/port_manager.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <malloc.h>
#endif
#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's count of the heap in use (GCC ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace kestar::testing {
namespace {

std::string capturedTrace;

void CaptureTrace(const char* text) { capturedTrace += text; }

}  // namespace

int ProcessHandles() {
#if defined(_WIN32)
    // Wine answers 0 for the count: there the handle values that name an object are probed.
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return static_cast<int>(count);
    // Handle values are given out lowest first: 256 free values in a row end the table.
    int probed = 0;
    for (std::uintptr_t value = 4, misses = 0; misses < 256; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++probed;
            misses = 0;
        } else {
            ++misses;
        }
    }
    return probed;
#else
    int count = 0;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (readdir(folder) != nullptr) ++count;
        closedir(folder);
    }
    return count;
#endif
}

std::size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#elif defined(_WIN32)
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    std::size_t busy = 0;
    for (DWORD i = 0; i < count && i < 64; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry)) {
            if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) busy += entry.cbData;
        }
        HeapUnlock(heaps[i]);
    }
    return busy;
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

std::string ExecutableDirectory() { return tools::ProgramDirectory(); }

std::string BuiltModulePath() {
#if defined(_WIN32)
    return ExecutableDirectory() + "\\" + tools::ModuleFileName();
#else
    return ExecutableDirectory() + "/" + tools::ModuleFileName();
#endif
}

std::string BuiltArmSimulatorPath() {
#if defined(_WIN32)
    return ExecutableDirectory() + "\\zuroz.dll";
#else
    return ExecutableDirectory() + "/libzuroz.so";
#endif
}

void SetEnvironment(const char* name, const char* value) {
#if defined(_WIN32)
    SetEnvironmentVariableA(name, value);
    std::string assignment = std::string(name) + "=" + (value != nullptr ? value : "");
    _putenv(assignment.c_str());
#else
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
#endif
}

void UseBuiltToolsEnvironment() {
    SetEnvironment("KESTAR_INSTALL_DIR", nullptr);
    SetEnvironment("KESTAR_TRACE", nullptr);
    SetEnvironment("KESTAR_ARM_LIBRARY", BuiltArmSimulatorPath().c_str());
}

ScopedTraceCapture::ScopedTraceCapture() {
    capturedTrace.clear();
    platform::InstallTraceWriter(CaptureTrace);
}

ScopedTraceCapture::~ScopedTraceCapture() { platform::InstallTraceWriter(nullptr); }

const std::string& ScopedTraceCapture::text() const { return capturedTrace; }

void ScopedTraceCapture::clear() { capturedTrace.clear(); }

HostRecords::HostRecords() {
    std::memset(interfaceBytes, kPattern, sizeof interfaceBytes);
    std::memset(machineBytes, kPattern, sizeof machineBytes);
    std::memset(probeBytes, kPattern, sizeof probeBytes);
    block().machine = &machine();
    block().probe = &probe();
}

ScopedStoredBlock::ScopedStoredBlock(InterfaceBlock* block) : previous_(storedInterfaceBlock) {
    storedInterfaceBlock = block;
    UsePortManagerState({block, PortManagerStateInUse().readRetryLimit});
}

ScopedStoredBlock::~ScopedStoredBlock() {
    storedInterfaceBlock = previous_;
    UsePortManagerState({previous_, PortManagerStateInUse().readRetryLimit});
}

void SetReadRetryLimit(std::int32_t limit) { UsePortManagerState({PortManagerStateInUse().reportBlock, limit}); }

}  // namespace kestar::testing
