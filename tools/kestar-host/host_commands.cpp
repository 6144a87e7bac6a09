#include "host_commands.h"

#include "doctor_system.h"
#include "host/commands.h"
#include "serial/port_roles.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

namespace kestar::tools {
namespace {

std::string Upper(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// A role as the host's view names it: "controller", "dro", ...
std::string RoleKey(const PortRole& role) {
    std::string key = role.name;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
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
    return nlohmann::json(SystemText(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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
    for (const Command& command : kCommands) {
        if (wanted == command.name || "C_" + wanted == command.name) {
            code = command.code;
            return true;
        }
    }
    return false;
}

const char* CommandName(int code) {
    const Command* command = FindCommand(code);
    return command != nullptr ? command->name : "";
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
    out += "  ports";
    for (const PortRole& role : kPortRoles) out += " " + RoleKey(role) + " " + std::to_string(block.*role.field);
    return out + "\n";
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
    std::string ports;
    for (const PortRole& role : kPortRoles) {
        ports += (ports.empty() ? "" : ",") + JsonString(RoleKey(role)) + ":" + std::to_string(block.*role.field);
    }
    return out + ",\"ports\":{" + ports + "}}";
}

}  // namespace kestar::tools
