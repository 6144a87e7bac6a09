// Start-up and shut-down of whole runs without serial ports (every port line names
// no device): what start-up writes into the host's machine block, the settings echo
// that one run leaves to the next, the exact lines of a run's log, the argument that
// InitializeCommunications ignores, and a module unloaded in the middle of a run.
#include "fakes/fake_arm.h"
#include "loaded_module.h"
#include "platform/system.h"
#include "serial/port_manager.h"
#include "settings/install_directory.h"
#include "settings/settings_file.h"
#include "support/install_fixture.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kestar::testing {
namespace {

platform::TimeOfDay Noon() { return platform::TimeOfDay{12, 0, 0}; }

std::string Line(const std::string& text) { return "<12:0:00>   " + text + "\r\n"; }

// Puts the host's records back to the pattern, as a host with fresh records would.
void Refill(HostRecords& records) {
    std::memset(records.interfaceBytes, HostRecords::kPattern, sizeof records.interfaceBytes);
    std::memset(records.machineBytes, HostRecords::kPattern, sizeof records.machineBytes);
    std::memset(records.probeBytes, HostRecords::kPattern, sizeof records.probeBytes);
    records.block().machine = &records.machine();
    records.block().probe = &records.probe();
}

class StartUpRun : public InstallFixture {
protected:
    ScopedFakeArm arm;
    HostRecords records;
    std::unique_ptr<platform::ScopedSystemOps> clock;
    bool running = false;

    void SetUp() override {
        platform::SystemOps system = platform::System();
        system.LocalTimeOfDay = Noon;
        clock = std::make_unique<platform::ScopedSystemOps>(system);
        InstallFixture::SetUp();
        settingsEcho = 0;  // as the module has it when it is loaded
        WriteSettings("0");
    }
    void TearDown() override {
        // Only a run of this test is ended here: a shut-down without one would write
        // its line into a log whose folder an earlier test has already removed.
        if (running) End();
        InstallFixture::TearDown();
        settingsEcho = 0;
    }
    int Start(int ignored = 0) {
        running = true;
        return InitializeCommunications(&records.block(), ignored, nullptr);
    }
    int End() {
        running = false;
        return TerminateCommunications();
    }
    // CreateLogFile as given (nullptr: no such key), then six port lines that open nothing.
    void WriteSettings(const char* createLogFile) { WriteSettingsText(SettingsText(createLogFile)); }
    // One whole run; the log file it leaves.
    std::string Run(int ignored = 0) {
        EXPECT_EQ(Start(ignored), 1) << records.block().errorText;
        EXPECT_EQ(End(), 1);
        return LogFile();
    }
    static std::string PortEchoes() {
        std::string lines;
        for (int n = 1; n <= 6; ++n) lines += Line("PORT" + std::to_string(n) + " = Spare -1");
        return lines;
    }
};

// --- the machine block ---

// The machine block as start-up leaves it: the host's bytes with start-up's writes on top.
std::vector<unsigned char> Expected(const HostRecords& before, int tuningA, int pollLimit, int tuningB) {
    std::vector<unsigned char> bytes(before.machineBytes, before.machineBytes + sizeof before.machineBytes);
    MachineBlock machine;
    std::memcpy(&machine, bytes.data(), sizeof machine);
    std::memcpy(machine.machineName, "VASK Manual Arm", 16);
    machine.kindCode = 33;
    machine.optionA = 1;
    machine.optionB = 2;
    machine.optionC = 1;
    machine.optionD = 0;
    machine.tuningA = tuningA;
    machine.pollLimit = pollLimit;
    machine.tuningB = tuningB;
    for (double& factor : machine.factors) factor = 1.0;
    std::memcpy(bytes.data(), &machine, sizeof machine);
    return bytes;
}

void ExpectMachineBlock(const HostRecords& records, const std::vector<unsigned char>& expected) {
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(records.machineBytes[i], expected[i]) << "machine block byte " << i;
    }
}

TEST_F(StartUpRun, ZeroTuningValuesGetTheDefaultsAndEveryOtherByteIsTheFixedValueOrTheHosts) {
    records.Polls(0);
    const std::vector<unsigned char> expected = Expected(records, 800, 20000, 200000);
    records.block().interfaceKind = 0;
    ASSERT_EQ(Start(), 1);
    ExpectMachineBlock(records, expected);
    EXPECT_EQ(PortManagerStateInUse().readRetryLimit, 20000);
    EXPECT_EQ(records.block().interfaceKind, 2);
}

TEST_F(StartUpRun, NonZeroAndNegativeTuningValuesAreKept) {
    struct Case {
        int tuningA, pollLimit, tuningB;
    };
    for (const Case& c : {Case{1, 5, 7}, Case{-800, -1, INT_MIN}, Case{INT_MAX, 3, -200000}}) {
        Refill(records);
        records.machine().tuningA = c.tuningA;
        records.machine().pollLimit = c.pollLimit;
        records.machine().tuningB = c.tuningB;
        const std::vector<unsigned char> expected = Expected(records, c.tuningA, c.pollLimit, c.tuningB);
        ASSERT_EQ(Start(), 1);
        ExpectMachineBlock(records, expected);
        EXPECT_EQ(PortManagerStateInUse().readRetryLimit, c.pollLimit);
        End();
    }
}

TEST_F(StartUpRun, OnlyTheTuningValuesThatAreZeroGetTheirDefault) {
    records.Polls(9);
    const std::vector<unsigned char> expected = Expected(records, 800, 9, 200000);
    ASSERT_EQ(Start(), 1);
    ExpectMachineBlock(records, expected);
}

// --- the settings echo and the log ---

TEST_F(StartUpRun, TheEchoSwitchedOnInOneRunEchoesCreateLogFileOnlyInTheNext) {
    WriteSettings("1");
    const std::string first = Run();
    EXPECT_EQ(settingsEcho, 1);
    EXPECT_EQ(first, Line("Starting Interface DLL") + PortEchoes() + Line("Ending Interface DLL"))
        << "the first run reads CreateLogFile while the echo is still off";
    const std::string second = Run();
    EXPECT_EQ(second, Line("Starting Interface DLL") + Line("CreateLogFile = 1") + PortEchoes() +
                          Line("Ending Interface DLL"));
    WriteSettings("0");
    const std::string third = Run();
    EXPECT_EQ(third, Line("Starting Interface DLL") + Line("CreateLogFile = 0") + Line("Ending Interface DLL"))
        << "the value that switches the echo off is itself still echoed";
    EXPECT_EQ(Run(), Line("Starting Interface DLL") + Line("Ending Interface DLL"));
}

TEST_F(StartUpRun, CreateLogFileIsReadByTheCLibrarysAtoiRules) {
    struct Case {
        const char* value;  // as written in the file; nullptr: no such key
        int echo;
    };
    const Case cases[] = {{"0", 0}, {"", 0}, {nullptr, 0}, {"x1", 0}, {"\" 1\"", 1}, {"1", 1},
                          {"-2", -2}, {"12abc", 12}, {"\" +3\"", 3}};
    for (const Case& c : cases) {
        settingsEcho = 0;
        WriteSettings(c.value);
        Run();
        EXPECT_EQ(settingsEcho, c.echo) << "CreateLogFile=" << (c.value != nullptr ? c.value : "(missing)");
    }
}

TEST_F(StartUpRun, AMissingCreateLogFileIsLoggedAsNotFoundBetweenTheStartAndTheEnd) {
    WriteSettings(nullptr);
    const std::string log = Run();
    EXPECT_EQ(log, Line("Starting Interface DLL") + Line("Cannot find 'CreateLogFile' in '" + SettingsFilePath() + "'") +
                         Line("Ending Interface DLL"));
}

// --- the ignored argument ---

TEST_F(StartUpRun, TheSecondArgumentOfInitializeCommunicationsChangesNothing) {
    const std::string reference = Run(0);
    const std::vector<unsigned char> blockAfter(records.interfaceBytes, records.interfaceBytes + sizeof records.interfaceBytes);
    const std::vector<unsigned char> machineAfter(records.machineBytes, records.machineBytes + sizeof records.machineBytes);
    for (int ignored : {1, -1, 2, 22, INT_MAX, INT_MIN, 0x7FFF0000}) {
        Refill(records);
        const std::string log = Run(ignored);
        EXPECT_EQ(log, reference) << "ignored = " << ignored;
        EXPECT_EQ(std::memcmp(records.interfaceBytes, blockAfter.data(), blockAfter.size()), 0) << "ignored = " << ignored;
        EXPECT_EQ(std::memcmp(records.machineBytes, machineAfter.data(), machineAfter.size()), 0) << "ignored = " << ignored;
    }
}

// --- unloading in the middle of a run ---

// The built module, started up and then unloaded without TerminateCommunications:
// nothing writes the buffered lines, so the log file stays as start-up emptied it.
TEST_F(StartUpRun, AModuleUnloadedInTheMiddleOfARunLeavesTheLogFileEmpty) {
    ASSERT_TRUE(WriteFileBytes(install.Join("tolvo/TolvoInterface.log"), "an earlier run's lines\r\n"));
    {
        tools::LoadedModule module(BuiltModulePath());
        ASSERT_TRUE(module.complete()) << module.error();
        HostRecords own;
        ASSERT_EQ(module.initializeCommunications(&own.block(), 0, nullptr), 1) << own.block().errorText;
        own.block().command = C_SET_DCC_PARAM;
        ASSERT_EQ(module.getCommData(&own.block()), 1);
        EXPECT_TRUE(FileExists(install.Join("tolvo/TolvoInterface.log")));
        EXPECT_EQ(LogFile(), "") << "start-up emptied the file";
    }
    EXPECT_EQ(LogFile(), "") << "the unload wrote nothing";
}

}  // namespace
}  // namespace kestar::testing
