// What a port line will make start-up do, told before any device is touched
// (PlanPortLine, CheckLineSettings), against what OpenPortSlot and SetLine then do.
#include "fakes/fake_uart.h"
#include "serial/com_driver.h"
#include "serial/port_manager.h"
#include "serial/port_roles.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <string>

namespace kestar::testing {
namespace {

TEST(PortLinePlan, FullLineIsOpenedWithItsRoleAndSettings) {
    const PortLinePlan plan = PlanPortLine("Probe 2 19200 e 7 2");
    EXPECT_EQ(plan.action, PortLineAction::kOpen);
    EXPECT_STREQ(kPortRoles[plan.role].name, "Probe");
    EXPECT_EQ(kPortRoles[plan.role].field, &InterfaceBlock::probePort);
    EXPECT_EQ(plan.request.comNumber, 2);
    EXPECT_EQ(plan.request.baudRate, 19200);
    EXPECT_EQ(plan.request.parity, 'e');
    EXPECT_EQ(plan.request.dataBits, 7);
    EXPECT_EQ(plan.request.stopBits, 2);
    EXPECT_EQ(plan.line.fields, 6);
}

TEST(PortLinePlan, ShortLinesKeepTheDefaultsAndSayHowFarTheScanGot) {
    const PortLinePlan com = PlanPortLine("Host 3");
    EXPECT_EQ(com.action, PortLineAction::kOpen);
    EXPECT_EQ(com.line.fields, 2);
    EXPECT_EQ(com.request.baudRate, 9600);
    EXPECT_EQ(com.request.parity, 'N');
    EXPECT_EQ(com.request.dataBits, 8);
    EXPECT_EQ(com.request.stopBits, 1);
    EXPECT_EQ(PlanPortLine("Sensor 4 4800 O").line.fields, 4);
    EXPECT_EQ(PlanPortLine("Sensor 4 4800 O x 2").line.fields, 4) << "the scan stops at data bits that are no number";
    EXPECT_EQ(PlanPortLine("").line.fields, 0);
}

TEST(PortLinePlan, PassedOverLinesSayWhy) {
    EXPECT_EQ(PlanPortLine("DRO -1 9600 N 8 1").action, PortLineAction::kNegativeCom);
    EXPECT_EQ(PlanPortLine("Printer -1").action, PortLineAction::kNegativeCom) << "the COM number is looked at first";
    EXPECT_EQ(PlanPortLine("Printer 5 9600 N 8 1").action, PortLineAction::kUnknownRole);
    EXPECT_EQ(PlanPortLine("probe 2").action, PortLineAction::kUnknownRole) << "role names are case-sensitive";
    EXPECT_EQ(PlanPortLine("").action, PortLineAction::kUnknownRole);
    EXPECT_EQ(PlanPortLine("ControllerController 2").action, PortLineAction::kRoleTooLong);
    EXPECT_EQ(PlanPortLine("Controller 0 9600 N 8 1").action, PortLineAction::kComZero);
    EXPECT_EQ(PlanPortLine("Printer -1").role, -1);
}

TEST(PortLinePlan, EveryRoleOfTheTableIsMatchedAndNamesItsField) {
    for (int role = 0; role < kPortRoleCount; ++role) {
        const std::string name = kPortRoles[role].name;
        EXPECT_EQ(PlanPortLine(name + " 1").role, role);
        std::string field = name;
        for (char& c : field) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(field + "Port", kPortRoles[role].fieldName) << "the field named is the one set";
        for (int other = 0; other < role; ++other) EXPECT_NE(kPortRoles[role].field, kPortRoles[other].field);
    }
}

TEST(PortLinePlan, HugeComNumberIsBoundedTo32Bits) {
    EXPECT_EQ(PlanPortLine("Toolchanger 99999999999 9600 N 8 1").request.comNumber, INT_MAX);
}

// The plan is what OpenPortSlot acts on: the same lines, opened on the simulated UART.
TEST(PortLinePlan, OpenPortSlotDoesWhatThePlanSays) {
    HostRecords records;
    ScopedStoredBlock stored(&records.block());
    ScopedTraceCapture trace;
    FakeUart uart;
    uart.Device(2);
    uart.Device(3);
    const char* const lines[] = {"Probe 2 9600 N 8 1", "DRO -1",       "Printer 3",   "probe 3",
                                 "Controller 0",       "Handbox 3 9600 X 8 1", "Sensor 3 4800 E 7 2"};
    for (const char* text : lines) {
        SCOPED_TRACE(text);
        int* roles = &records.block().controllerPort;
        for (int i = 0; i < 7; ++i) roles[i] = -1;
        records.block().errorCode = 0;
        const PortLinePlan plan = PlanPortLine(text);
        const int result = OpenPortSlot(1, text);
        const bool passedOver = plan.action == PortLineAction::kNegativeCom ||
                                plan.action == PortLineAction::kUnknownRole ||
                                plan.action == PortLineAction::kRoleTooLong;
        if (passedOver) {
            EXPECT_EQ(result, kSlotPassedOver);
            EXPECT_EQ(records.block().errorCode, 0);
        } else if (plan.action == PortLineAction::kComZero) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(records.block().errorCode, serial::kInvalidPort);
        } else {
            const std::int32_t refused =
                serial::CheckLineSettings(plan.request.baudRate, plan.request.parity, plan.request.stopBits);
            EXPECT_EQ(result, refused == 0 ? 1 : 0);
            if (refused == 0) EXPECT_EQ(portTable[1].comNumber, plan.request.comNumber);
            if (refused != 0) EXPECT_EQ(records.block().errorCode, refused);
        }
        // Only a line with a known role sets its role slot, to the slot number.
        const bool roleSet = plan.role >= 0 && plan.action != PortLineAction::kNegativeCom;
        bool anySet = false;
        for (int i = 0; i < 7; ++i) anySet = anySet || roles[i] == 1;
        EXPECT_EQ(anySet, roleSet);
        ClosePortSlots();
    }
    serial::CloseAllPorts();
}

// CheckLineSettings is SetLine's own rule: on a device that takes every control
// block, SetLine refuses exactly what CheckLineSettings names.
TEST(LineSettingCheck, AgreesWithSetLineOverAGridOfSettings) {
    FakeUart uart;
    uart.Device(1);
    const std::int32_t rates[] = {-1, 0, 1234, 9600, 57600, 57601, 115200, 128000, 256000};
    const char parities[] = {'N', 'e', 'm', 'O', 's', 'X', 'n' + 1, '\0'};
    const std::int32_t stops[] = {0, 1, 2, 3, -1};
    int refusals = 0;
    for (std::int32_t rate : rates) {
        for (char parity : parities) {
            for (std::int32_t stop : stops) {
                serial::Port* port = serial::CreateComPort(0, rate, parity, 8, stop);
                const std::int32_t expected = serial::CheckLineSettings(rate, parity, stop);
                EXPECT_EQ(port->status, expected) << rate << " " << static_cast<int>(parity) << " " << stop;
                refusals += expected != 0 ? 1 : 0;
                port->ops.Close(port);
            }
        }
    }
    EXPECT_GT(refusals, 0);
    EXPECT_EQ(serial::CheckLineSettings(115200, 'N', 1), serial::kIllegalBaudRate);
    EXPECT_EQ(serial::CheckLineSettings(9600, 'X', 1), serial::kIllegalParity);
    EXPECT_EQ(serial::CheckLineSettings(9600, 'N', 3), serial::kIllegalStopBits);
    EXPECT_EQ(serial::CheckLineSettings(115200, 'X', 3), serial::kIllegalBaudRate) << "in SetLine's order";
    EXPECT_EQ(serial::CheckLineSettings(9600, 'x', 3), serial::kIllegalParity) << "in SetLine's order";
}

}  // namespace
}  // namespace kestar::testing
