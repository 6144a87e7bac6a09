// Command execution through GetCommData: the command table, the arm reading and the guard.
#include "fakes/fake_arm.h"
#include "host/command_execution.h"
#include "host/interface_block.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <set>
#include <vector>

namespace kestar::testing {
namespace {

// Codes after which `command` keeps its value; every other code comes back as 22.
const std::set<int> kCommandKept = {2, 5, 6, 7, 8, 9, 10, 11, 13, 22, 23, 29, 31};

std::vector<int> AllCodesToTry() {
    std::vector<int> codes = {INT_MIN, -100, -5, -1, 40, 41, 99, 1000, INT_MAX};
    for (int code = 0; code <= 39; ++code) codes.push_back(code);
    return codes;
}

class CommandExecution : public ::testing::Test {
protected:
    HostRecords records;
    ScopedFakeArm arm;
    ScopedStoredBlock stored{&records.block()};

    InterfaceBlock& block() { return records.block(); }
    int Run(int command) {
        block().command = command;
        return GetCommData(&block());
    }
    void SetReading(double x, double y, double z, double vx, double vy, double vz, int status) {
        auto& s = arm.state();
        s.reading[0] = x;
        s.reading[1] = y;
        s.reading[2] = z;
        s.reading[12] = vx;
        s.reading[13] = vy;
        s.reading[14] = vz;
        s.status = status;
    }
};

TEST_F(CommandExecution, EveryCodeSucceedsAndLeavesCommandAsTheTableSays) {
    for (int code : AllCodesToTry()) {
        block().commandSeen = 0;
        ASSERT_EQ(Run(code), 1) << "code " << code;
        EXPECT_EQ(block().commandSeen, 1) << "code " << code;
        const int expected = kCommandKept.count(code) ? code : C_READ_COORDS;
        EXPECT_EQ(block().command, expected) << "code " << code;
    }
}

TEST_F(CommandExecution, OnlyReadingCommandsReadTheArm) {
    for (int code : AllCodesToTry()) {
        arm.state().leggeQuotaCalls = 0;
        arm.state().resetEncoderCalls = 0;
        Run(code);
        const bool reads = code == C_READ_COORDS || code == C_M_POINT || code == C_READ_STATUS;
        EXPECT_EQ(arm.state().leggeQuotaCalls, reads ? 1 : 0) << "code " << code;
        EXPECT_EQ(arm.state().resetEncoderCalls, code == C_HOME_CMM ? 1 : 0) << "code " << code;
    }
}

TEST_F(CommandExecution, PointTakenBecomesTheMeasuredPointAndOffset) {
    SetReading(10.5, -20.25, 30.0, 1.0, 2.0, 3.0, 1);
    ASSERT_EQ(Run(C_READ_COORDS), 1);
    EXPECT_EQ(block().position.x, 10.5);
    EXPECT_EQ(block().position.y, -20.25);
    EXPECT_EQ(block().position.z, 30.0);
    EXPECT_EQ(block().measuredPoint.x, 10.5);
    EXPECT_EQ(block().measuredPoint.y, -20.25);
    EXPECT_EQ(block().measuredPoint.z, 30.0);
    EXPECT_EQ(block().armVector.x, -1.0);
    EXPECT_EQ(block().armVector.y, -2.0);
    EXPECT_EQ(block().armVector.z, -3.0);
    EXPECT_EQ(block().offsetPoint.x, 9.5);
    EXPECT_EQ(block().offsetPoint.y, -22.25);
    EXPECT_EQ(block().offsetPoint.z, 27.0);
    EXPECT_EQ(records.probe().pointTaken, 1);
    EXPECT_EQ(arm.state().statusSeenOnEntry, 0);
}

TEST_F(CommandExecution, PlainReadingKeepsTheMeasuredPointAndRecomputesTheOffset) {
    SetReading(1.0, 2.0, 3.0, 0.0, 0.0, 0.0, 1);
    Run(C_M_POINT);
    SetReading(7.0, 8.0, 9.0, 0.5, 0.25, -1.0, 0);
    records.probe().pointTaken = 77;
    ASSERT_EQ(Run(C_READ_STATUS), 1);
    EXPECT_EQ(block().position.x, 7.0);
    EXPECT_EQ(block().measuredPoint.x, 1.0);
    EXPECT_EQ(block().measuredPoint.y, 2.0);
    EXPECT_EQ(block().measuredPoint.z, 3.0);
    EXPECT_EQ(block().offsetPoint.x, 0.5);
    EXPECT_EQ(block().offsetPoint.y, 1.75);
    EXPECT_EQ(block().offsetPoint.z, 4.0);
    EXPECT_EQ(records.probe().pointTaken, 0);
}

TEST_F(CommandExecution, StatusTwoRaisesTheEventAndItStays) {
    block().eventCode = 0;
    SetReading(4.0, 5.0, 6.0, 0.0, 0.0, 0.0, 2);
    const Point3 before = block().measuredPoint;
    Run(C_READ_COORDS);
    EXPECT_EQ(block().eventCode, 91);
    EXPECT_EQ(records.probe().pointTaken, 0);
    EXPECT_EQ(std::memcmp(&before, &block().measuredPoint, sizeof before), 0);
    SetReading(4.0, 5.0, 6.0, 0.0, 0.0, 0.0, 0);
    Run(C_READ_COORDS);
    EXPECT_EQ(block().eventCode, 91);
}

// Only status 1 takes a point and only status 2 raises the event; any other status
// the arm may give is a plain reading.
TEST_F(CommandExecution, OnlyStatusOneTakesAPointAndOnlyStatusTwoRaisesTheEvent) {
    for (int status : {0, 1, 2, 3, -1, 91, INT_MIN, INT_MAX}) {
        block().eventCode = 0;
        block().measuredPoint.x = -5.0;
        records.probe().pointTaken = 77;
        SetReading(4.0, 5.0, 6.0, 0.0, 0.0, 0.0, status);
        ASSERT_EQ(Run(C_READ_COORDS), 1) << "status " << status;
        EXPECT_EQ(block().eventCode, status == 2 ? 91 : 0) << "status " << status;
        EXPECT_EQ(records.probe().pointTaken, status == 1 ? 1 : 0) << "status " << status;
        EXPECT_EQ(block().measuredPoint.x, status == 1 ? 4.0 : -5.0) << "status " << status;
    }
}

TEST_F(CommandExecution, ArmVectorIsASignFlipSoZeroBecomesNegativeZero) {
    SetReading(0.0, 0.0, 0.0, 0.0, -0.0, 2.5, 0);
    Run(C_READ_COORDS);
    EXPECT_TRUE(std::signbit(block().armVector.x));
    EXPECT_FALSE(std::signbit(block().armVector.y));
    EXPECT_EQ(block().armVector.z, -2.5);
}

TEST_F(CommandExecution, ReadingArrayIsZeroedForAnArmThatFillsOnlyThePosition) {
    SetReading(1.0, 2.0, 3.0, 111.0, 222.0, 333.0, 1);
    arm.state().filledElements = 3;
    Run(C_READ_COORDS);
    EXPECT_EQ(block().armVector.x, 0.0);
    EXPECT_EQ(block().armVector.y, 0.0);
    EXPECT_EQ(block().armVector.z, 0.0);
    EXPECT_EQ(block().offsetPoint.x, 1.0);
    EXPECT_EQ(block().offsetPoint.z, 3.0);
}

// The byte ranges a reading may write; every other byte of the host's records stays as the host left it.
TEST_F(CommandExecution, ReadingTouchesNoByteOutsideItsFields) {
    SetReading(1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 2);
    Run(C_READ_COORDS);
    struct Range {
        std::size_t offset, size;
    };
    const Range written[] = {{0, 2 * sizeof(void*)},  // machine and probe pointers, set by the test itself
                             {offsetof(InterfaceBlock, commandSeen), 4},
                             {offsetof(InterfaceBlock, armVector), 24},
                             {offsetof(InterfaceBlock, offsetPoint), 24},
                             {offsetof(InterfaceBlock, position), 24},
                             {offsetof(InterfaceBlock, eventCode), 4},
                             {offsetof(InterfaceBlock, command), 4}};
    for (std::size_t i = 0; i < sizeof records.interfaceBytes; ++i) {
        bool inField = false;
        for (const Range& r : written) inField = inField || (i >= r.offset && i < r.offset + r.size);
        if (!inField) ASSERT_EQ(records.interfaceBytes[i], HostRecords::kPattern) << "interface byte " << i;
    }
    for (std::size_t i = 0; i < sizeof records.probeBytes; ++i) {
        const bool inField = i >= offsetof(ProbeBlock, pointTaken) && i < offsetof(ProbeBlock, pointTaken) + 4;
        if (!inField) ASSERT_EQ(records.probeBytes[i], HostRecords::kPattern) << "probe byte " << i;
    }
    for (unsigned char byte : records.machineBytes) ASSERT_EQ(byte, HostRecords::kPattern);
}

TEST_F(CommandExecution, HomeResetsTheEncodersWithoutReading) {
    SetReading(9.0, 9.0, 9.0, 0.0, 0.0, 0.0, 1);
    block().position = Point3{1.0, 2.0, 3.0};
    ASSERT_EQ(Run(C_HOME_CMM), 1);
    EXPECT_EQ(arm.state().resetEncoderCalls, 1);
    EXPECT_EQ(arm.state().leggeQuotaCalls, 0);
    EXPECT_EQ(block().position.x, 1.0);
    EXPECT_EQ(block().command, C_READ_COORDS);
}

TEST_F(CommandExecution, ProbeHeadMoveAndInterfaceInitialisationSetTheirField) {
    ASSERT_EQ(Run(C_PH9_MOVE_POS), 1);
    EXPECT_EQ(records.probe().headMoveValue, 4.0);
    EXPECT_EQ(block().command, C_READ_COORDS);
    ASSERT_EQ(Run(C_INITIALIZE_INTERFACE), 1);
    EXPECT_EQ(block().interfaceReady, 1);
    EXPECT_EQ(block().command, C_INITIALIZE_INTERFACE);
}

TEST_F(CommandExecution, ResetErrorLeavesTheErrorAlone) {
    block().errorCode = -26;
    std::strcpy(block().errorText, "Illegal Parity");
    ASSERT_EQ(Run(C_RESET_ERROR), 1);
    EXPECT_EQ(block().errorCode, -26);
    EXPECT_STREQ(block().errorText, "Illegal Parity");
}

TEST_F(CommandExecution, TraceLineCarriesPositionVectorAndStatus) {
    ScopedTraceCapture trace;
    SetReading(1234.5678, -2.0, 0.0005, 1.0, -0.25, 0.0, 2);
    Run(C_READ_COORDS);
    EXPECT_EQ(trace.text(), "  1234.568     -2.000      0.001 -1.000  0.250 -0.000 <2>\n");
}

// Every kind of exception from the arm ends in the guard's report, in the stored block.
TEST_F(CommandExecution, AnyExceptionFromTheArmBecomesInterfaceError) {
    using Throw = FakeArmState::Throw;
    for (Throw kind : {Throw::StdException, Throw::Integer, Throw::OwnType}) {
        HostRecords other;
        other.block().command = C_READ_COORDS;
        other.block().position = Point3{5.0, 5.0, 5.0};
        block().errorCode = 0;
        std::memset(block().errorText, 'x', sizeof block().errorText);
        arm.state().throwFromLeggeQuota = kind;
        ASSERT_EQ(GetCommData(&other.block()), 0);
        EXPECT_EQ(block().errorCode, 1001);
        EXPECT_STREQ(block().errorText, "Interface Error");
        EXPECT_EQ(block().errorText[16], 'x') << "only the text and its terminator are copied";
        EXPECT_EQ(other.block().errorCode, static_cast<int>(0xA5A5A5A5)) << "the passed block gets no report";
        EXPECT_EQ(other.block().commandSeen, 1) << "fields written before the exception stay";
        EXPECT_EQ(other.block().position.x, 5.0);
    }
}

TEST_F(CommandExecution, ExceptionLeavesCommandUnchanged) {
    arm.state().throwFromResetEncoder = FakeArmState::Throw::StdException;
    ASSERT_EQ(Run(C_HOME_CMM), 0);
    EXPECT_EQ(block().command, C_HOME_CMM);
    arm.state().throwFromLeggeQuota = FakeArmState::Throw::Integer;
    ASSERT_EQ(Run(C_M_POINT), 0);
    EXPECT_EQ(block().command, C_M_POINT);
    EXPECT_EQ(block().errorCode, 1001);
}

TEST_F(CommandExecution, MissingArmCallEndsInTheGuard) {
    platform::ArmLibrary partial = ScopedFakeArm::Calls();
    partial.LeggeQuota = nullptr;
    partial.ResetEncoder = nullptr;
    ScopedFakeArm withoutReading(partial);
    EXPECT_EQ(Run(C_READ_COORDS), 0);
    EXPECT_EQ(block().errorCode, 1001);
    EXPECT_EQ(Run(C_HOME_CMM), 0);
    EXPECT_EQ(Run(C_DCC_STOP), 1) << "commands that need no arm still work";
}

TEST_F(CommandExecution, MissingProbeBlockIsReportedNotDereferenced) {
    block().probe = nullptr;
    EXPECT_EQ(Run(C_READ_COORDS), 0);
    EXPECT_EQ(block().errorCode, 1001);
    EXPECT_EQ(Run(C_PH9_MOVE_POS), 0);
}

TEST(CommandGuardBeforeStartUp, ReportsIntoTheGivenBlock) {
    ScopedStoredBlock none(nullptr);
    ScopedFakeArm arm;
    arm.state().throwFromLeggeQuota = FakeArmState::Throw::StdException;
    HostRecords records;
    records.block().command = C_READ_COORDS;
    ASSERT_EQ(GetCommData(&records.block()), 0);
    EXPECT_EQ(records.block().errorCode, 1001);
    EXPECT_STREQ(records.block().errorText, "Interface Error");
}

TEST(CommandGuardBeforeStartUp, NullBlockFailsWithoutCrashing) {
    ScopedStoredBlock none(nullptr);
    EXPECT_EQ(GetCommData(nullptr), 0);
    HostRecords stored;
    ScopedStoredBlock some(&stored.block());
    EXPECT_EQ(GetCommData(nullptr), 0);
    EXPECT_EQ(stored.block().errorCode, 1001);
}

}  // namespace
}  // namespace kestar::testing
