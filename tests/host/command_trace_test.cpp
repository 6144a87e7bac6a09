// The command trace: one log line per command of the stored block, none for readings.
#include "host/command_trace.h"
#include "host/interface_block.h"
#include "log/interface_log.h"
#include "settings/install_directory.h"
#include "support/scratch_folder.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>

namespace kestar::testing {
namespace {

TEST(CommandTraceText, NamedCommandsCarryTheParameterBetweenBlanks) {
    const std::map<int, std::string> named = {
        {2, "-> C_DCC_STOP"},          {3, "-> C_HOME_CMM"},          {4, "-> C_PH9_MOVE_POS"},
        {5, "-> C_MODE_AUTO"},         {6, "-> C_MODE_MAN"},          {7, "-> C_WAIT_DCC"},
        {8, "-> C_DCC_START"},         {10, "-> C_SEND_POS_POINT"},   {11, "-> C_SEND_PT_MES"},
        {13, "-> C_INITIALIZE_INTERFACE"}, {14, "-> C_SEND_STRING"},  {23, "-> C_RESET_ERROR"},
        {25, "-> C_CHANGE_PARAMETER"}, {29, "-> C_SEND_APPRCH_POINT"}, {31, "-> C_READ_STATUS"},
        {32, "-> C_SCAN_CURVE"},       {34, "-> C_SETUP_CONTROL"},    {36, "-> C_MEASURE_MODE"},
        {39, "-> C_CALIBRATE_PROBE "}};
    for (const auto& [code, name] : named) EXPECT_EQ(CommandTraceText(code, 0, 5), name + " 0 ") << code;
    EXPECT_EQ(CommandTraceText(3, -42, 0), "-> C_HOME_CMM -42 ");
    EXPECT_EQ(CommandTraceText(39, 0, 0), "-> C_CALIBRATE_PROBE  0 ");
}

TEST(CommandTraceText, ParametersOfSetDccParamAndCallbacks) {
    EXPECT_EQ(CommandTraceText(12, 7, 0), "-> C_SET_DCC_PARAM 7 7 ");
    EXPECT_EQ(CommandTraceText(27, 0, 1), "-> C_CALLBACKS <1> 0 ");
}

TEST(CommandTraceText, EveryOtherValueIsADefaultLine) {
    for (int code : {0, 1, 15, 16, 17, 18, 19, 20, 21, 24, 26, 28, 30, 33, 35, 37, 38, 40, 1000, -5, INT_MIN, INT_MAX})
        EXPECT_EQ(CommandTraceText(code, 0, 0), "-> default " + std::to_string(code) + " 0 ") << code;
}

class CommandTraceLog : public ::testing::Test {
protected:
    HostRecords records;
    ScratchFolder install;
    std::string savedDirectory = installDirectory;
    ScopedTraceCapture trace;  // every log line is also on the debug trace

    void SetUp() override {
        installDirectory = install.path();
        SetLogFolder(installDirectory);
        ASSERT_TRUE(MakeFolder(install.Join("tolvo")));
    }
    void TearDown() override {
        CloseLog();
        installDirectory = savedDirectory;
        SetLogFolder(installDirectory);
    }
    void Trace(int command, int commandParam) {
        records.block().command = command;
        records.block().commandParam = commandParam;
        records.block().callbacksParam = 0;
        trace.clear();
        TraceCommand();
    }
};

TEST_F(CommandTraceLog, WritesOneLogLineButNoneForReadings) {
    ScopedStoredBlock stored(&records.block());
    Trace(17, 0);
    const std::string line = trace.text();
    ASSERT_GE(line.size(), 2u);
    EXPECT_EQ(line.substr(line.find('>') + 1), "   -> default 17 0 \r\n");
    Trace(C_READ_COORDS, 3);
    EXPECT_EQ(trace.text(), "");
    Trace(C_M_POINT, 3);
    EXPECT_EQ(trace.text(), "");
    EXPECT_EQ(records.block().command, C_M_POINT) << "the trace changes nothing in the block";
    Trace(12, 7);
    CloseLog();
    const std::string file = ReadFileBytes(LogFilePath());
    EXPECT_NE(file.find(">   -> default 17 0 \r\n"), std::string::npos) << file;
    EXPECT_NE(file.find(">   -> C_SET_DCC_PARAM 7 7 \r\n"), std::string::npos) << file;
    EXPECT_EQ(file.find("READ_COORDS"), std::string::npos);
}

TEST_F(CommandTraceLog, WritesNothingBeforeAnyStartUp) {
    ScopedStoredBlock none(nullptr);
    Trace(3, 0);
    EXPECT_EQ(trace.text(), "");
}

}  // namespace
}  // namespace kestar::testing
