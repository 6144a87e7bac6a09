// The built module driven through its exports with the arm simulator as its arm library.
#include "loaded_module.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace kestar::testing {
namespace {

using tools::LoadedModule;

class ArmSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
#if !defined(_WIN32)
        SetEnvironment("KESTAR_ARM_LIBRARY", BuiltArmSimulatorPath().c_str());
#endif
        SetEnvironment("ARMSIM_POINT_EVERY", "3");
        SetEnvironment("ARMSIM_EVENT_EVERY", "5");
        module = new LoadedModule(BuiltModulePath());
    }
    static void TearDownTestSuite() {
        delete module;
        module = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(module->loaded()) << module->error();
        ASSERT_NE(module->getCommData, nullptr);
        SetEnvironment("ARMSIM_THROW", nullptr);
        SetEnvironment("ARMSIM_FAULT", nullptr);
        module->initializeCommunications(&records.block(), 0, nullptr);
        records.block().command = C_HOME_CMM;  // restart the simulated path
        ASSERT_EQ(module->getCommData(&records.block()), 1);
    }
    void TearDown() override {
        if (module->terminateCommunications) module->terminateCommunications();
    }
    int Read() {
        records.block().command = C_READ_COORDS;
        return module->getCommData(&records.block());
    }

    static LoadedModule* module;
    HostRecords records;
};

LoadedModule* ArmSession::module = nullptr;

TEST_F(ArmSession, ReadingsFollowTheSimulatedPathWithPointsAndEvents) {
    records.block().eventCode = 0;
    ASSERT_EQ(Read(), 1);
    EXPECT_NEAR(records.block().position.x, 250.0 + 100.0 * std::cos(0.1), 1e-9);
    EXPECT_NEAR(records.block().position.y, 120.0 + 100.0 * std::sin(0.1), 1e-9);
    EXPECT_EQ(records.block().armVector.z, -15.0);
    EXPECT_EQ(records.probe().pointTaken, 0);
    ASSERT_EQ(Read(), 1);
    ASSERT_EQ(Read(), 1);  // the third reading takes a point
    EXPECT_EQ(records.probe().pointTaken, 1);
    EXPECT_EQ(records.block().measuredPoint.x, records.block().position.x);
    EXPECT_EQ(records.block().offsetPoint.z, records.block().position.z - 15.0);
    EXPECT_NE(records.block().eventCode, 91);
    ASSERT_EQ(Read(), 1);
    ASSERT_EQ(Read(), 1);  // the fifth reports the event
    EXPECT_EQ(records.block().eventCode, 91);
    EXPECT_EQ(records.probe().pointTaken, 0);
}

TEST_F(ArmSession, ArmLibraryThatThrowsEndsInInterfaceError) {
    SetEnvironment("ARMSIM_THROW", "LeggeQuota");
    EXPECT_EQ(Read(), 0);
    EXPECT_EQ(records.block().errorCode, 1001);
    EXPECT_STREQ(records.block().errorText, "Interface Error");
    EXPECT_EQ(records.block().command, C_READ_COORDS);
    SetEnvironment("ARMSIM_THROW", "ResetEncoder");
    records.block().command = C_HOME_CMM;
    EXPECT_EQ(module->getCommData(&records.block()), 0);
    EXPECT_EQ(records.block().command, C_HOME_CMM);
    SetEnvironment("ARMSIM_THROW", nullptr);
    EXPECT_EQ(Read(), 1) << "the module goes on after the failure";
}

// Start-up's calls into the arm library: a failure there is logged and the run
// goes on; readings work once the library answers again.
void StartWithFailingCall(LoadedModule& module, HostRecords& records, const char* variable, const char* call) {
    module.terminateCommunications();
    SetEnvironment(variable, call);
    module.initializeCommunications(&records.block(), 0, nullptr);  // the ports decide its result
    SetEnvironment(variable, nullptr);
}

TEST_F(ArmSession, StartUpGoesOnAfterAprePortaOrLeggeParametriThrows) {
    for (const char* call : {"AprePorta", "LeggeParametri"}) {
        StartWithFailingCall(*module, records, "ARMSIM_THROW", call);
        EXPECT_EQ(Read(), 1) << call;
    }
}

#if defined(_WIN32)
TEST_F(ArmSession, StartUpGoesOnAfterAnAccessViolationInAprePortaOrLeggeParametri) {
    for (const char* call : {"AprePorta", "LeggeParametri"}) {
        StartWithFailingCall(*module, records, "ARMSIM_FAULT", call);
        EXPECT_EQ(Read(), 1) << call;
    }
}

TEST_F(ArmSession, AccessViolationInsideTheArmLibraryEndsInInterfaceError) {
    SetEnvironment("ARMSIM_FAULT", "LeggeQuota");
    EXPECT_EQ(Read(), 0);
    EXPECT_EQ(records.block().errorCode, 1001);
    SetEnvironment("ARMSIM_FAULT", "ResetEncoder");
    records.block().command = C_HOME_CMM;
    EXPECT_EQ(module->getCommData(&records.block()), 0);
    SetEnvironment("ARMSIM_FAULT", nullptr);
    EXPECT_EQ(Read(), 1);
}
#endif

}  // namespace
}  // namespace kestar::testing
