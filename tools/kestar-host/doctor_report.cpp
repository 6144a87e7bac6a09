#include "doctor_report.h"

#include "doctor_system.h"

namespace kestar::tools {
namespace {

constexpr const char* kDash = " \xE2\x80\x94 ";  // " — "

}  // namespace

const char* LevelName(Level level) {
    switch (level) {
        case Level::kOk: return "OK";
        case Level::kWarn: return "WARN";
        default: return "FAIL";
    }
}

std::string Quoted(const std::string& text) { return "'" + SystemText(text) + "'"; }

Check& Check::Set(Level newLevel, const std::string& newFound, const std::string& newTodo) {
    level = newLevel;
    found = newFound;
    todo = newTodo;
    return *this;
}

Check& Check::Text(const std::string& key, const std::string& text) { return Json(key, SystemText(text)); }
Check& Check::Int(const std::string& key, long value) { return Json(key, value); }
Check& Check::Flag(const std::string& key, bool value) { return Json(key, value); }
Check& Check::Null(const std::string& key) { return Json(key, nullptr); }
Check& Check::Json(const std::string& key, nlohmann::ordered_json value) {
    fields[key] = std::move(value);
    return *this;
}

Check& Report::Add(const std::string& name) {
    checks_.emplace_back();
    checks_.back().name = name;
    return checks_.back();
}

std::string Report::Render(bool json) const {
    std::string out;
    for (const Check& check : checks_) {
        if (json) {
            nlohmann::ordered_json line = {{"check", check.name}, {"level", LevelName(check.level)},
                                           {"found", check.found}};
            if (!check.todo.empty()) line["todo"] = check.todo;
            for (const auto& [key, value] : check.fields.items()) line[key] = value;
            // Characters outside ASCII stay as they are; a byte that is no UTF-8 becomes U+FFFD.
            out += line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        } else {
            out += std::string(LevelName(check.level)) + " " + check.name + ": " + check.found;
            if (!check.todo.empty()) out += kDash + check.todo;
        }
        out += "\n";
    }
    return out;
}

}  // namespace kestar::tools
