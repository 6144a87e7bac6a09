// port-timing: measures one start-up and shut-down of the module with its serial
// ports, with shut-down's fixed wait counted apart, and how long ReadSlotLine takes
// to time out at the default empty-poll limit.
//
//   Linux:   port-timing [runs]           makes six pseudo-terminals itself
//   Windows: port-timing [runs] COMn      COMn must lead to a serial device (under
//                                         Wine, a dosdevices link to a pseudo-terminal)
#include "host/start_up.h"
#include "kestar.h"
#include "platform/arm_library.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "serial/port_manager.h"
#include "serial/port_roles.h"
#include "settings/settings_file.h"
#include "settings/install_directory.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pty.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t waitedMs = 0;
// Shut-down's fixed wait, counted instead of slept, so it can be reported apart.
void CountedSleep(std::uint32_t milliseconds) { waitedMs += milliseconds; }

int KESTAR_CALL QuietArm() { return 1; }
int KESTAR_CALL QuietArmText(const char*) { return 1; }
int KESTAR_CALL QuietArmTable(char*) { return 1; }
int KESTAR_CALL QuietReading(double*, int*) { return 1; }

std::string MakeTempFolder() {
#if defined(_WIN32)
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    std::string folder = std::string(base) + "kestar-port-timing-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
#else
    char pattern[] = "/tmp/kestar-port-timing-XXXXXX";
    return mkdtemp(pattern) != nullptr ? pattern : "/tmp";
#endif
}

void MakeFolder(const std::string& path) {
#if defined(_WIN32)
    CreateDirectoryA(path.c_str(), nullptr);
#else
    mkdir(path.c_str(), 0700);
#endif
}

bool WriteAppPath(const std::string& directory) {
    kestar::platform::RegHandle key = 0;
    if (kestar::platform::Registry().CreateKeyEx(kestar::platform::kHkeyLocalMachine, kestar::kAppPathsKey, 0,
                                                 kestar::platform::kKeyAllAccess, &key, nullptr) != 0)
        return false;
    kestar::platform::Registry().SetValueEx(key, kestar::kAppPathValue, kestar::platform::kRegSz,
                                            reinterpret_cast<const unsigned char*>(directory.c_str()),
                                            static_cast<std::uint32_t>(directory.size() + 1));
    kestar::platform::Registry().CloseKey(key);
    return true;
}

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const std::string work = MakeTempFolder();
    const char separator = work.find('\\') != std::string::npos ? '\\' : '/';
    const std::string install = work + separator + "install";
    MakeFolder(install);
    MakeFolder(install + separator + "tolvo");

    std::vector<int> comNumbers;
#if defined(_WIN32)
    if (argc < 3 || std::sscanf(argv[2], "COM%d", &comNumbers.emplace_back()) != 1) {
        std::fprintf(stderr, "usage: port-timing [runs] COMn\n");
        return 2;
    }
#else
    const std::string devices = work + "/devices";
    MakeFolder(devices);
    std::vector<int> masters;
    for (int com = 11; com <= 16; ++com) {
        int master = -1, slave = -1;
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
        close(slave);
        masters.push_back(master);
        symlink(name, (devices + "/com" + std::to_string(com)).c_str());
        comNumbers.push_back(com);
    }
    setenv("KESTAR_DEVICES", devices.c_str(), 1);
    setenv("KESTAR_REGISTRY", (work + "/registry").c_str(), 1);
#endif
    if (!WriteAppPath(install)) {
        std::fprintf(stderr, "port-timing: cannot write the App Paths entry\n");
        return 1;
    }
    std::ofstream settings(install + separator + "tolvo" + separator + "vodrane.ini", std::ios::binary);
    settings << "[" << kestar::kSettingsSection << "]\r\n" << kestar::kCreateLogFileKey << "=0\r\n";
    for (int n = 0; n < kestar::kPortKeyCount; ++n) {
        settings << kestar::PortKey(n + 1) << "=" << kestar::kPortRoles[n].name << " ";
        if (n < static_cast<int>(comNumbers.size())) {
            settings << comNumbers[n] << " 9600 N 8 1\r\n";
        } else {
            settings << "-1\r\n";
        }
    }
    settings.close();

    kestar::platform::ArmLibrary arm{};
    arm.AprePorta = QuietArmText;
    arm.LeggeParametri = QuietArmTable;
    arm.ChiudePorta = QuietArm;
    arm.LeggeQuota = QuietReading;
    arm.ResetEncoder = QuietArm;
    kestar::platform::InstallArmLibrary(&arm);
    kestar::platform::SystemOps ops = kestar::platform::System();
    ops.Sleep = CountedSleep;
    kestar::platform::System() = ops;

    alignas(8) unsigned char interfaceBytes[1024] = {}, machineBytes[256] = {}, probeBytes[128] = {};
    InterfaceBlock& block = *reinterpret_cast<InterfaceBlock*>(interfaceBytes);
    block.machine = reinterpret_cast<MachineBlock*>(machineBytes);
    block.probe = reinterpret_cast<ProbeBlock*>(probeBytes);

    std::vector<double> cycles;
    for (int i = 0; i < runs; ++i) {
        waitedMs = 0;
        const Clock::time_point start = Clock::now();
        const int started = InitializeCommunications(&block, 0, nullptr);
        TerminateCommunications();
        cycles.push_back(Milliseconds(Clock::now() - start));
        if (!started) {
            std::fprintf(stderr, "port-timing: start-up failed: %d %s\n", block.errorCode, block.errorText);
            return 1;
        }
    }
    std::sort(cycles.begin(), cycles.end());
    double sum = 0;
    for (double c : cycles) sum += c;
    std::printf("start-up and shut-down with %zu open port(s), %d runs: median %.3f ms, mean %.3f ms, worst %.3f ms, "
                "besides the fixed wait of %u ms\n",
                comNumbers.size(), runs, cycles[cycles.size() / 2], sum / runs, cycles.back(), waitedMs);

    kestar::platform::System() = kestar::platform::SystemDefaults();
    if (!InitializeCommunications(&block, 0, nullptr)) return 1;
    std::vector<double> timeouts;
    char line[kestar::kPortLineSize];
    for (int i = 0; i < 5; ++i) {
        const Clock::time_point start = Clock::now();
        const int result = kestar::ReadSlotLine(0, line);
        timeouts.push_back(Milliseconds(Clock::now() - start));
        if (result != kestar::kReadTimedOut) {
            std::fprintf(stderr, "port-timing: expected a time-out, got %d\n", result);
            return 1;
        }
    }
    TerminateCommunications();
    std::sort(timeouts.begin(), timeouts.end());
    std::printf("ReadSlotLine time-out at readRetryLimit %d: median %.3f ms (%.3f us a poll), worst %.3f ms\n",
                kestar::PortManagerStateInUse().readRetryLimit, timeouts[timeouts.size() / 2],
                timeouts[timeouts.size() / 2] * 1000.0 / (kestar::PortManagerStateInUse().readRetryLimit + 1),
                timeouts.back());
#if !defined(_WIN32)
    for (int master : masters) close(master);
#endif
    std::error_code ignored;
    std::filesystem::remove_all(work, ignored);
    return 0;
}
