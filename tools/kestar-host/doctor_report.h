// The doctor's report: one check a line, OK, WARN or FAIL, with what was found and
// what to do, as text or as one JSON object a line.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace kestar::tools {

enum class Level { kOk, kWarn, kFail };

struct Check {
    Level level = Level::kOk;
    std::string name;
    std::string found;
    std::string todo;
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();  // further JSON members
    bool startUpPath = false;  // a FAIL here can be the reason start-up returns 0

    Check& Set(Level newLevel, const std::string& newFound, const std::string& newTodo = std::string());
    // A text from the system (a path, a value, a message): converted to UTF-8.
    Check& Text(const std::string& key, const std::string& text);
    Check& Int(const std::string& key, long value);
    Check& Flag(const std::string& key, bool value);
    Check& Null(const std::string& key);
    Check& Json(const std::string& key, nlohmann::ordered_json value);
};

class Report {
public:
    Report() { checks_.reserve(64); }
    Check& Add(const std::string& name);
    std::vector<Check>& checks() { return checks_; }
    const std::vector<Check>& checks() const { return checks_; }
    // Every check, one line each, in valid UTF-8.
    std::string Render(bool json) const;

private:
    std::vector<Check> checks_;
};

const char* LevelName(Level level);

// 'text' with a text from the system in it, converted to UTF-8.
std::string Quoted(const std::string& text);

}  // namespace kestar::tools
