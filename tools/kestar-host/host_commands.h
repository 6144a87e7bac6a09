// Command names and the host's view of a block, for the host stand-in.
#pragma once

#include "kestar.h"

#include <optional>
#include <string>
#include <vector>

namespace kestar::tools {

enum class Parsed {
    kOk,
    kOutOfRange,  // a decimal number beyond the 32 bits of the block's fields
    kUnknown,     // neither a number nor a command's name
};

// A decimal number that fits the block's 32-bit fields.
Parsed ParseInt32(const std::string& text, int& value);

// "C_READ_COORDS", "READ_COORDS" (any case) or a decimal number of 32 bits.
Parsed ParseCommand(const std::string& text, int& code);

// The command names nearest to text (as it was typed, any case, with or without
// "C_"), best first; empty when none comes close.
std::vector<std::string> NearestCommandNames(const std::string& text);

// Every command of the module's table: code, name and what the module does with it,
// one line each (text), or one JSON object a line.
std::string CommandListing(bool json);

// The command's name, or "" for an unnamed code.
const char* CommandName(int code);

// text from the system as a JSON string in UTF-8, quotes included.
std::string JsonString(const std::string& text);

// What the module wrote into the records, as indented text lines or one JSON object.
// commandParam: the value given with the command, shown when there was one.
std::string DescribeText(const char* call, int code, int result, const InterfaceBlock& block,
                         std::optional<int> commandParam = std::nullopt);
std::string DescribeJson(const char* call, int code, int result, const InterfaceBlock& block,
                         std::optional<int> commandParam = std::nullopt);

}  // namespace kestar::tools
