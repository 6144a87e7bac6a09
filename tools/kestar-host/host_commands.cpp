#include "host_commands.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestar::host {
namespace {

struct NamedCommand {
    int code;
    const char* name;
};

constexpr NamedCommand kCommands[] = {
    {C_DCC_STOP, "C_DCC_STOP"},
    {C_HOME_CMM, "C_HOME_CMM"},
    {C_PH9_MOVE_POS, "C_PH9_MOVE_POS"},
    {C_MODE_AUTO, "C_MODE_AUTO"},
    {C_MODE_MAN, "C_MODE_MAN"},
    {C_WAIT_DCC, "C_WAIT_DCC"},
    {C_DCC_START, "C_DCC_START"},
    {C_M_POINT, "C_M_POINT"},
    {C_SEND_POS_POINT, "C_SEND_POS_POINT"},
    {C_SEND_PT_MES, "C_SEND_PT_MES"},
    {C_SET_DCC_PARAM, "C_SET_DCC_PARAM"},
    {C_INITIALIZE_INTERFACE, "C_INITIALIZE_INTERFACE"},
    {C_SEND_STRING, "C_SEND_STRING"},
    {C_READ_COORDS, "C_READ_COORDS"},
    {C_RESET_ERROR, "C_RESET_ERROR"},
    {C_CHANGE_PARAMETER, "C_CHANGE_PARAMETER"},
    {C_CALLBACKS, "C_CALLBACKS"},
    {C_SEND_APPRCH_POINT, "C_SEND_APPRCH_POINT"},
    {C_READ_STATUS, "C_READ_STATUS"},
    {C_SCAN_CURVE, "C_SCAN_CURVE"},
    {C_SETUP_CONTROL, "C_SETUP_CONTROL"},
    {C_MEASURE_MODE, "C_MEASURE_MODE"},
    {C_CALIBRATE_PROBE, "C_CALIBRATE_PROBE"},
};

std::string Upper(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// The error text as the module left it: up to its terminator, within the field.
std::string ErrorText(const InterfaceBlock& block) {
    return std::string(block.errorText, strnlen(block.errorText, sizeof block.errorText));
}

std::string JsonPoint(const Point3& p) {
    char text[128];
    std::snprintf(text, sizeof text, "[%.6f,%.6f,%.6f]", p.x, p.y, p.z);
    return text;
}

std::string TextPoint(const char* label, const Point3& p) {
    char text[160];
    std::snprintf(text, sizeof text, "  %-14s %12.4f %12.4f %12.4f\n", label, p.x, p.y, p.z);
    return text;
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool ParseCommand(const std::string& text, int& code) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    if (end != nullptr && *end == '\0' && errno == 0 && number >= -2147483647L - 1 && number <= 2147483647L) {
        code = static_cast<int>(number);
        return true;
    }
    const std::string wanted = Upper(text);
    for (const NamedCommand& command : kCommands) {
        if (wanted == command.name || "C_" + wanted == command.name) {
            code = command.code;
            return true;
        }
    }
    return false;
}

const char* CommandName(int code) {
    for (const NamedCommand& command : kCommands) {
        if (command.code == code) return command.name;
    }
    return "";
}

std::string DescribeText(const char* call, int code, int result, const InterfaceBlock& block) {
    std::string out;
    char line[256];
    if (std::strcmp(call, "GetCommData") == 0) {
        const char* name = CommandName(code);
        std::snprintf(line, sizeof line, "%s %s(%d): result %d\n", call, *name ? name : "unnamed ", code, result);
    } else {
        std::snprintf(line, sizeof line, "%s: result %d\n", call, result);
    }
    out += line;
    out += TextPoint("position", block.position);
    out += TextPoint("measuredPoint", block.measuredPoint);
    out += TextPoint("armVector", block.armVector);
    out += TextPoint("offsetPoint", block.offsetPoint);
    std::snprintf(line, sizeof line, "  pointTaken %d  eventCode %d  command %d  errorCode %d  errorText \"%s\"\n",
                  block.probe != nullptr ? block.probe->pointTaken : 0, block.eventCode, block.command,
                  block.errorCode, ErrorText(block).c_str());
    out += line;
    std::snprintf(line, sizeof line,
                  "  ports controller %d probe %d dro %d handbox %d host %d toolchanger %d sensor %d\n",
                  block.controllerPort, block.probePort, block.droPort, block.handboxPort, block.hostPort,
                  block.toolchangerPort, block.sensorPort);
    out += line;
    return out;
}

std::string DescribeJson(const char* call, int code, int result, const InterfaceBlock& block) {
    std::string out = "{\"call\":" + JsonString(call);
    if (std::strcmp(call, "GetCommData") == 0) {
        out += ",\"code\":" + std::to_string(code) + ",\"name\":" + JsonString(CommandName(code));
    }
    out += ",\"result\":" + std::to_string(result);
    out += ",\"position\":" + JsonPoint(block.position);
    out += ",\"measuredPoint\":" + JsonPoint(block.measuredPoint);
    out += ",\"armVector\":" + JsonPoint(block.armVector);
    out += ",\"offsetPoint\":" + JsonPoint(block.offsetPoint);
    out += ",\"pointTaken\":" + std::to_string(block.probe != nullptr ? block.probe->pointTaken : 0);
    out += ",\"eventCode\":" + std::to_string(block.eventCode);
    out += ",\"command\":" + std::to_string(block.command);
    out += ",\"errorCode\":" + std::to_string(block.errorCode);
    out += ",\"errorText\":" + JsonString(ErrorText(block));
    out += ",\"ports\":{\"controller\":" + std::to_string(block.controllerPort) +
           ",\"probe\":" + std::to_string(block.probePort) + ",\"dro\":" + std::to_string(block.droPort) +
           ",\"handbox\":" + std::to_string(block.handboxPort) + ",\"host\":" + std::to_string(block.hostPort) +
           ",\"toolchanger\":" + std::to_string(block.toolchangerPort) +
           ",\"sensor\":" + std::to_string(block.sensorPort) + "}";
    return out + "}";
}

}  // namespace kestar::host
