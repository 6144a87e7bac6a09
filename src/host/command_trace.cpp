#include "command_trace.h"

#include "commands.h"
#include "interface_block.h"
#include "log/interface_log.h"

#include <cstdio>

namespace kestar {

std::string CommandTraceText(int command, int commandParam, int callbacksParam) {
    char text[96];
    const Command* known = FindCommand(command);
    switch (known != nullptr ? known->trace : CommandTraceForm::kName) {
        case CommandTraceForm::kName:
            if (known != nullptr) {
                std::snprintf(text, sizeof text, "-> %s", known->name);
            } else {
                std::snprintf(text, sizeof text, "-> default %d", command);
            }
            break;
        case CommandTraceForm::kNameBlank:
            std::snprintf(text, sizeof text, "-> %s ", known->name);
            break;
        case CommandTraceForm::kParameter:
            std::snprintf(text, sizeof text, "-> %s %d", known->name, commandParam);
            break;
        case CommandTraceForm::kCallbacks:
            std::snprintf(text, sizeof text, "-> %s <%d>", known->name, callbacksParam);
            break;
    }
    char parameter[16];
    std::snprintf(parameter, sizeof parameter, " %d ", commandParam);
    return std::string(text) + parameter;
}

void TraceCommand() {
    const InterfaceBlock* block = storedInterfaceBlock;
    if (block == nullptr) return;
    const Command* known = FindCommand(block->command);
    if (known != nullptr && !known->traced) return;
    WriteLog(CommandTraceText(block->command, block->commandParam, block->callbacksParam));
}

}  // namespace kestar
