#include "support/test_support.h"

#include "host/interface_block.h"
#include "platform/debug_trace.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kestar::testing {
namespace {

std::string capturedTrace;

void CaptureTrace(const char* text) { capturedTrace += text; }

}  // namespace

std::string ExecutableDirectory() {
    char path[4096] = {};
#if defined(_WIN32)
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path - 1);
    std::string full(path, length);
    return full.substr(0, full.find_last_of("\\/"));
#else
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string full(path, length > 0 ? static_cast<std::size_t>(length) : 0);
    return full.substr(0, full.find_last_of('/'));
#endif
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
}

ScopedStoredBlock::~ScopedStoredBlock() { storedInterfaceBlock = previous_; }

}  // namespace kestar::testing
