#include "start_up.h"

#include "callback_pump.h"
#include "interface_block.h"
#include "log/interface_log.h"
#include "platform/arm_library.h"
#include "platform/debug_trace.h"
#include "platform/system.h"
#include "serial/port_manager.h"
#include "settings/install_directory.h"
#include "settings/settings_file.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace kestar {
namespace {

constexpr int kDefaultTuningA = 800;
constexpr int kDefaultPollLimit = 20000;
constexpr int kDefaultTuningB = 200000;
constexpr int kInterfaceKind = 2;
constexpr int kKindCode = 33;

// A failure inside the arm library is logged, and the run goes on as it would
// with a quiet arm. A call that is missing was already named by the one line
// that loading the library wrote.
template <typename Call>
void CallArm(const char* name, Call call) {
    try {
        call();
    } catch (const std::exception& error) {
        WriteLog(std::string("arm library call ") + name + " failed: " + error.what());
    } catch (...) {
        WriteLog(std::string("arm library call ") + name + " failed");
    }
}

void SetMachineBlock(MachineBlock& machine) {
    if (machine.tuningA == 0) machine.tuningA = kDefaultTuningA;
    if (machine.pollLimit == 0) machine.pollLimit = kDefaultPollLimit;
    if (machine.tuningB == 0) machine.tuningB = kDefaultTuningB;
}

void SetFixedMachineValues(MachineBlock& machine) {
    machine.optionC = 1;
    machine.optionD = 0;
    for (double& factor : machine.factors) factor = 1.0;
    CopyText(machine.machineName, kMachineName);
    machine.kindCode = kKindCode;
    machine.optionB = 2;
    machine.optionA = 1;
}

}  // namespace

int StartUp(InterfaceBlock* block, KestarHostCallback callback) {
    // The port manager reports into this run's block from here on, and reads with
    // the machine block's poll limit; without a machine block the limit stays.
    PortManagerState ports = PortManagerStateInUse();
    ports.reportBlock = block;
    UsePortManagerState(ports);
    if (block == nullptr) return 0;
    MachineBlock* machine = MachineOf(block);
    FindInstallDirectory(installDirectory);
    StartLog(installDirectory);
    WriteLog("Starting Interface DLL");

    const SettingsReadOnce settingsReadOnce;
    std::string echo;
    ReadSetting(echo, kCreateLogFileKey);
    settingsEcho = std::atoi(echo.c_str());

    if (machine != nullptr) {
        SetMachineBlock(*machine);
        ports.readRetryLimit = machine->pollLimit;
        UsePortManagerState(ports);
    }
    block->interfaceKind = kInterfaceKind;
    if (machine != nullptr) SetFixedMachineValues(*machine);

    const std::string armProblem = platform::LoadArmLibrary();
    if (!armProblem.empty()) WriteLog(armProblem);
    for (const StartUpArmCall& call : kStartUpArmCalls) CallArm(call.name, call.call);

    hostCallback = callback;
    return OpenPortSlots() != 0 ? 1 : 0;
}

const StartUpArmCall kStartUpArmCalls[kStartUpArmCallCount] = {
    {platform::kArmCalls[platform::kArmAprePorta].name, [] { return platform::ArmAprePorta(kArmPortName); }},
    {platform::kArmCalls[platform::kArmLeggeParametri].name,
     [] {
         // The library may write into the path it is given: a copy of its own.
         char tablePath[kArmTablePathSize];
         CopyText(tablePath, kArmTablePath);
         return platform::ArmLeggeParametri(tablePath);
     }},
};

int ShutDown() {
    CallArm(platform::kArmCalls[platform::kArmChiudePorta].name, [] { return platform::ArmChiudePorta(); });
    RequestCallbackPumpStop();
    platform::System().Sleep(kShutDownWaitMs);
    // The host may unload the module once shut-down has returned: no callback may
    // still be running then.
    WaitForCallbackPumpEnd();
    ClosePortSlots();
    // Only a run's own shut-down ends its log. A shut-down without a run (a second
    // one, or one before any start-up) writes no line: a line would start a new log,
    // and starting a log empties the file that holds the last run's record.
    if (LogStarted()) {
        WriteLog("Ending Interface DLL");
        CloseLog();
    } else {
        platform::TraceText("TerminateCommunications without a run: the log file is left as it is\n");
    }
    return 1;
}

}  // namespace kestar
