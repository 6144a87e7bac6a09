#include "support/test_support.h"

#include "host/interface_block.h"
#include "loaded_module.h"
#include "platform/debug_trace.h"
#include "serial/port_manager.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace kestar::testing {
namespace {

std::string capturedTrace;

void CaptureTrace(const char* text) { capturedTrace += text; }

}  // namespace

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
    SetPortReportBlock(block);
}

ScopedStoredBlock::~ScopedStoredBlock() {
    storedInterfaceBlock = previous_;
    SetPortReportBlock(previous_);
}

}  // namespace kestar::testing
