#include "command_trace.h"

#include "interface_block.h"
#include "log/interface_log.h"

#include <cstdio>

namespace kestar {
namespace {

const char* FixedText(int command) {
    switch (command) {
        case C_DCC_STOP: return "-> C_DCC_STOP";
        case C_HOME_CMM: return "-> C_HOME_CMM";
        case C_PH9_MOVE_POS: return "-> C_PH9_MOVE_POS";
        case C_MODE_AUTO: return "-> C_MODE_AUTO";
        case C_MODE_MAN: return "-> C_MODE_MAN";
        case C_WAIT_DCC: return "-> C_WAIT_DCC";
        case C_DCC_START: return "-> C_DCC_START";
        case C_M_POINT: return "-> C_M_POINT";
        case C_SEND_POS_POINT: return "-> C_SEND_POS_POINT";
        case C_SEND_PT_MES: return "-> C_SEND_PT_MES";
        case C_INITIALIZE_INTERFACE: return "-> C_INITIALIZE_INTERFACE";
        case C_SEND_STRING: return "-> C_SEND_STRING";
        case C_READ_COORDS: return "-> C_READ_COORDS";
        case C_RESET_ERROR: return "-> C_RESET_ERROR";
        case C_CHANGE_PARAMETER: return "-> C_CHANGE_PARAMETER";
        case C_SEND_APPRCH_POINT: return "-> C_SEND_APPRCH_POINT";
        case C_READ_STATUS: return "-> C_READ_STATUS";
        case C_SCAN_CURVE: return "-> C_SCAN_CURVE";
        case C_SETUP_CONTROL: return "-> C_SETUP_CONTROL";
        case C_MEASURE_MODE: return "-> C_MEASURE_MODE";
        case C_CALIBRATE_PROBE: return "-> C_CALIBRATE_PROBE ";
        default: return nullptr;
    }
}

}  // namespace

std::string CommandTraceText(int command, int commandParam, int callbacksParam) {
    char text[96];
    if (const char* fixed = FixedText(command)) {
        std::snprintf(text, sizeof text, "%s", fixed);
    } else if (command == C_SET_DCC_PARAM) {
        std::snprintf(text, sizeof text, "-> C_SET_DCC_PARAM %d", commandParam);
    } else if (command == C_CALLBACKS) {
        std::snprintf(text, sizeof text, "-> C_CALLBACKS <%d>", callbacksParam);
    } else {
        std::snprintf(text, sizeof text, "-> default %d", command);
    }
    char parameter[16];
    std::snprintf(parameter, sizeof parameter, " %d ", commandParam);
    return std::string(text) + parameter;
}

void TraceCommand() {
    const InterfaceBlock* block = storedInterfaceBlock;
    if (block == nullptr) return;
    if (block->command == C_READ_COORDS || block->command == C_M_POINT) return;
    WriteLog(CommandTraceText(block->command, block->commandParam, block->callbacksParam));
}

}  // namespace kestar
