// The fault sweep over whole sessions: every outside call of each scenario failed
// once, and from k on (sweep/seam_sweep.h). $KESTAR_SWEEP_EVERY=n fails only every
// n-th call (the 32-bit builds sample; the checking build sweeps every call). Each
// scenario's figures go to sweep-<name>.txt beside the test binary for scripts/test.
#include "doctor.h"
#include "fakes/fake_arm.h"
#include "fakes/fake_uart.h"
#include "host/callback_pump.h"
#include "log/interface_log.h"
#include "serial/port.h"
#include "serial/port_manager.h"
#include "support/install_fixture.h"
#include "support/test_support.h"
#include "sweep/seam_sweep.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kestar::testing {
namespace {

constexpr int kReadings = 50;

std::uint32_t SampleEvery() {
    const char* every = std::getenv("KESTAR_SWEEP_EVERY");
    const long n = every != nullptr ? std::atol(every) : 1;
    return n > 0 ? static_cast<std::uint32_t>(n) : 1u;
}

// The doctor prints its report; a sweep runs it hundreds of times.
class QuietStandardOutput {
public:
    QuietStandardOutput() {
        std::fflush(stdout);
#if defined(_WIN32)
        saved_ = _dup(1);
        const int null = _open("NUL", _O_WRONLY);
        _dup2(null, 1);
        _close(null);
#else
        saved_ = dup(1);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, 1);
        close(null);
#endif
    }
    ~QuietStandardOutput() {
        std::fflush(stdout);
#if defined(_WIN32)
        _dup2(saved_, 1);
        _close(saved_);
#else
        dup2(saved_, 1);
        close(saved_);
#endif
    }

private:
    int saved_;
};

std::string Expect(bool allowed, const std::string& what) { return allowed ? std::string() : what; }

class FaultSweep : public InstallFixture {
protected:
    FakeUart uart;
    ScopedFakeArm arm;
    HostRecords records;

    void SetUp() override {
        InstallFixture::SetUp();
        WriteSettingsText(SettingsText("1", {"Controller 2 9600 N 8 1", "Probe 3 19200 E 7 1", "DRO -1", "Handbox -1",
                                             "Host -1", "Sensor -1"}));
        uart.Device(2);
        uart.Device(3);
        records.Polls(50);  // a read times out after 50 empty polls
#if !defined(_WIN32)
        SetEnvironment("KESTAR_ARM_LIBRARY", BuiltArmSimulatorPath().c_str());
#endif
    }
    void TearDown() override {
        serial::CloseAllPorts();
        InstallFixture::TearDown();
#if !defined(_WIN32)
        SetEnvironment("KESTAR_ARM_LIBRARY", nullptr);
#endif
    }

    InterfaceBlock& block() { return records.block(); }

    // Start-up gives 1 with no error, or 0, with the status and its message where it reports one.
    std::string StartUp() {
        block().errorCode = 0;
        block().errorText[0] = '\0';
        const int result = InitializeCommunications(&block(), 0, nullptr);
        const std::int32_t code = block().errorCode;
        if (result == 1) return Expect(code == 0, "start-up gave 1 with errorCode " + std::to_string(code));
        if (result != 0) return "start-up gave " + std::to_string(result);
        return Expect(code == 0 || std::strncmp(block().errorText, serial::StatusMessage(code), 79) == 0,
                      "start-up gave 0 with errorCode " + std::to_string(code) + " and '" + block().errorText + "'");
    }
    std::string ShutDown() { return Expect(TerminateCommunications() == 1, "shut-down gave other than 1"); }
    // 1, or 0 with the guard's 1001 "Interface Error".
    std::string Reading() {
        block().command = C_READ_COORDS;
        const int result = GetCommData(&block());
        return Expect(result == 1 || (result == 0 && block().errorCode == 1001 &&
                                      std::strcmp(block().errorText, "Interface Error") == 0),
                      "GetCommData gave " + std::to_string(result) + " with errorCode " +
                          std::to_string(block().errorCode));
    }
    // 0, the port manager's own -99 and -90, or a status with its own message.
    static std::string PortStatus(const char* call, std::int32_t status) {
        const bool defined = status == 0 || status == kReadTimedOut || status == kReadLineTooLong ||
                             status == serial::kGeneralError ||
                             (status < 0 && std::strcmp(serial::StatusMessage(status), "General Error") != 0);
        return Expect(defined, std::string(call) + " gave the undefined status " + std::to_string(status));
    }
    // The first problem of a run.
    static void Note(std::string& problem, const std::string& found) {
        if (problem.empty()) problem = found;
    }

    std::string Session() {
        std::string problem;
        const std::string started = StartUp();
        Note(problem, started);
        if (started.empty() && block().errorCode == 0) {
            for (int i = 0; i < kReadings; ++i) Note(problem, Reading());
            Note(problem, PortStatus("WriteSlotString", WriteSlotString(0, "PING 7")));
            for (unsigned char c : std::string("PONG 7\n")) uart.Device(2).received.push_back(c);
            char line[kPortLineSize] = {};
            Note(problem, PortStatus("ReadSlotLine", ReadSlotLine(0, line)));
            FlushPortSlots();
        }
        Note(problem, ShutDown());
        return problem;
    }
    std::string StartAgain() {
        std::string problem = StartUp();
        Note(problem, ShutDown());
        Note(problem, StartUp());
        return problem;
    }
    std::string Recover() {
        const std::string started = StartUp();
        const std::string problem = started.empty() && block().errorCode == 0
                                        ? std::string()
                                        : "start-up gave 0 with errorCode " + std::to_string(block().errorCode);
        ShutDown();
        return problem;
    }
    std::string Doctor() {
        tools::DoctorOptions options;
        options.modulePath = BuiltModulePath();
        options.json = true;
        options.open = true;
        options.arm = true;
        QuietStandardOutput quiet;
        const int status = tools::RunDoctor(options);
        return Expect(status == 0 || status == 1 || status == 3, "the doctor ended with " + std::to_string(status));
    }

    void Sweep(const char* id, SweepScenario scenario) {
        scenario.logFile = install.Join("tolvo/TolvoInterface.log");
        const SweepFigures f = RunSweep(scenario, SampleEvery());
        char text[512];
        std::snprintf(text, sizeof text, "%s|%u|%u|%u|%u|%u|%u|%u\n", scenario.name.c_str(), f.outsideCalls,
                      f.failableCalls, f.every, f.onceRuns, f.onceWell, f.fromRuns, f.fromWell);
        WriteFileBytes(ExecutableDirectory() + PathSeparator() + "sweep-" + id + ".txt", text);
        std::printf("sweep %s: %u outside calls, %u of them failable; every %u: once %u of %u runs ended well, "
                    "from k on %u of %u\n",
                    scenario.name.c_str(), f.outsideCalls, f.failableCalls, f.every, f.onceWell, f.onceRuns,
                    f.fromWell, f.fromRuns);
        std::printf("  failable calls: %s\n", f.callsByName.c_str());
        EXPECT_GT(f.failableCalls, 0u);
        EXPECT_EQ(f.onceWell, f.onceRuns);
        EXPECT_EQ(f.fromWell, f.fromRuns);
        for (std::size_t i = 0; i < f.problems.size() && i < 40; ++i) ADD_FAILURE() << f.problems[i];
    }
};

TEST_F(FaultSweep, SessionWithTwoPortsReadingsAndSlotTraffic) {
    Sweep("session", {"session", [this] { return Session(); }, nullptr, [this] { return Recover(); }});
}

TEST_F(FaultSweep, StartUpShutDownAndStartUpAgain) {
    Sweep("restart", {"start-up again", [this] { return StartAgain(); }, [this] { ShutDown(); },
                      [this] { return Recover(); }});
}

// Unloading runs the port layer's CloseAllPorts; nothing writes the log then, and the
// runtime drops its buffer with the module. Here the module stays loaded, so the
// buffer is written out instead, and the next start-up begins as after a new load.
TEST_F(FaultSweep, StartUpThenUnloadWithoutShutDown) {
    Sweep("unload", {"unload without shut-down",
                     [this] {
                         const std::string problem = StartUp();
                         serial::CloseAllPorts();
                         return problem;
                     },
                     [] {
                         CloseLog();
                         for (PortSlot& slot : portTable) slot = PortSlot{0, nullptr};  // as loaded
                     },
                     [this] { return Recover(); }});
}

// The callback pump is the one worker thread the module can start; a host that
// uses it starts it after start-up, and shut-down stops it.
TEST_F(FaultSweep, StartUpWithTheCallbackPumpThenShutDown) {
    Sweep("pump", {"callback pump",
                   [this] {
                       std::string problem = StartUp();
                       StartCallbackPump();
                       for (int i = 0; i < 5; ++i) Note(problem, Reading());
                       Note(problem, ShutDown());
                       return Expect(!callbacksRunning, "the pump still runs after shut-down") + problem;
                   },
                   nullptr, [this] { return Recover(); }});
}

TEST_F(FaultSweep, DoctorOnAHealthyInstallationWithOpenAndArm) {
    Sweep("doctor", {"doctor --open --arm", [this] { return Doctor(); }, nullptr, nullptr});
}

}  // namespace
}  // namespace kestar::testing
