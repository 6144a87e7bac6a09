// Helpers shared by the tests of every folder.
#pragma once

#include "kestar.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace kestar::testing {

// The folder of the running test binary; the module and tools are built beside it.
std::string ExecutableDirectory();

// The built module and the arm simulator beside the test binary.
std::string BuiltModulePath();
std::string BuiltArmSimulatorPath();

// Descriptors (Linux) or handles (Windows) the process holds; its heap in use.
int ProcessHandles();
std::size_t HeapInUse();

// Sets (or, with nullptr, removes) an environment variable of this process.
void SetEnvironment(const char* name, const char* value);

// What a run of the built tools finds on Linux: no stand-in install folder and no
// trace from outside, and the built arm simulator as the arm library.
void UseBuiltToolsEnvironment();

// Captures everything sent to the debug trace while it lives.
class ScopedTraceCapture {
public:
    ScopedTraceCapture();
    ~ScopedTraceCapture();
    ScopedTraceCapture(const ScopedTraceCapture&) = delete;
    ScopedTraceCapture& operator=(const ScopedTraceCapture&) = delete;
    const std::string& text() const;
    void clear();
};

// Host records filled with a byte pattern, wired together as a host would.
struct HostRecords {
    static constexpr unsigned char kPattern = 0xA5;
    alignas(8) unsigned char interfaceBytes[1024];
    alignas(8) unsigned char machineBytes[256];
    alignas(8) unsigned char probeBytes[128];

    HostRecords();
    InterfaceBlock& block() { return *reinterpret_cast<InterfaceBlock*>(interfaceBytes); }
    MachineBlock& machine() { return *reinterpret_cast<MachineBlock*>(machineBytes); }
    ProbeBlock& probe() { return *reinterpret_cast<ProbeBlock*>(probeBytes); }
    // The machine block's tuning zeroed around pollLimit, which becomes readRetryLimit.
    void Polls(int pollLimit) {
        machine().tuningA = machine().tuningB = 0;
        machine().pollLimit = pollLimit;
    }
};

// Stores the block as the module's stored interface block for its lifetime.
class ScopedStoredBlock {
public:
    explicit ScopedStoredBlock(InterfaceBlock* block);
    ~ScopedStoredBlock();

private:
    InterfaceBlock* previous_;
};

// The port manager's read retry limit handed in as start-up hands it, its report block kept.
void SetReadRetryLimit(std::int32_t limit);

}  // namespace kestar::testing
