#include "host_commands.h"

#include "doctor_system.h"
#include "host/commands.h"
#include "serial/port_roles.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
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

// Letters to change, add or drop to turn a into b.
std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// What GetCommData does with a command of this kind, as the listing says it.
const char* ActionText(CommandAction action) {
    switch (action) {
        case CommandAction::kAcknowledge: return "returns 1 at once, the command left in the block";
        case CommandAction::kReady: return "sets interfaceReady, returns 1";
        case CommandAction::kArmReading: return "one reading of the arm into the block";
        case CommandAction::kResetEncoder: return "resets the arm's encoders; the command becomes C_READ_COORDS";
        case CommandAction::kHeadMove: return "sets the probe's headMoveValue; the command becomes C_READ_COORDS";
        case CommandAction::kNothing: return "nothing; the command becomes C_READ_COORDS";
    }
    return "";
}

}  // namespace

std::string JsonString(const std::string& text) {
    return nlohmann::json(SystemText(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Parsed ParseInt32(const std::string& text, int& value) {
    // Sign and digits only: strtoll would also take leading blanks and "+".
    const std::size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos) {
        return Parsed::kUnknown;
    }
    errno = 0;
    const long long number = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || number < INT32_MIN || number > INT32_MAX) return Parsed::kOutOfRange;
    value = static_cast<int>(number);
    return Parsed::kOk;
}

Parsed ParseCommand(const std::string& text, int& code) {
    const Parsed number = ParseInt32(text, code);
    if (number != Parsed::kUnknown) return number;
    const std::string wanted = Upper(text);
    for (const Command& command : kCommands) {
        if (wanted == command.name || "C_" + wanted == command.name) {
            code = command.code;
            return Parsed::kOk;
        }
    }
    return Parsed::kUnknown;
}

std::vector<std::string> NearestCommandNames(const std::string& text) {
    const std::string wanted = Upper(text).rfind("C_", 0) == 0 ? Upper(text) : "C_" + Upper(text);
    std::vector<std::pair<std::size_t, std::string>> near;
    for (const Command& command : kCommands) {
        const std::string name = command.name;
        // A name that begins with what was typed is the nearest of all.
        const std::size_t distance = name.rfind(wanted, 0) == 0 ? 0 : EditDistance(wanted, name);
        // Close: at most a third of the name's letters differ.
        if (distance <= name.size() / 3) near.emplace_back(distance, name);
    }
    std::stable_sort(near.begin(), near.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> names;
    for (const auto& [distance, name] : near) {
        if (names.size() < 3 && distance == near.front().first) names.push_back(name);
    }
    return names;
}

std::string CommandListing(bool json) {
    std::string out;
    for (const Command& command : kCommands) {
        if (json) {
            out += "{\"code\":" + std::to_string(command.code) + ",\"name\":" + JsonString(command.name) +
                   ",\"does\":" + JsonString(ActionText(command.action)) + "}\n";
        } else {
            char line[256];
            std::snprintf(line, sizeof line, "%3d  %-22s %s\n", command.code, command.name, ActionText(command.action));
            out += line;
        }
    }
    return out;
}

const char* CommandName(int code) {
    const Command* command = FindCommand(code);
    return command != nullptr ? command->name : "";
}

std::string DescribeText(const char* call, int code, int result, const InterfaceBlock& block,
                         std::optional<int> commandParam) {
    std::string out;
    char line[256];
    if (std::strcmp(call, "GetCommData") == 0) {
        const char* name = CommandName(code);
        const std::string param = commandParam ? " commandParam " + std::to_string(*commandParam) : std::string();
        std::snprintf(line, sizeof line, "%s %s(%d)%s: result %d\n", call, *name ? name : "unnamed ", code,
                      param.c_str(), result);
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

std::string DescribeJson(const char* call, int code, int result, const InterfaceBlock& block,
                         std::optional<int> commandParam) {
    std::string out = "{\"call\":" + JsonString(call);
    if (std::strcmp(call, "GetCommData") == 0) {
        out += ",\"code\":" + std::to_string(code) + ",\"name\":" + JsonString(CommandName(code));
        if (commandParam) out += ",\"commandParam\":" + std::to_string(*commandParam);
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
