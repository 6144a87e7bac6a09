// Command names and the host's view of a block, for the host stand-in.
#pragma once

#include "kestar.h"

#include <string>

namespace kestar::tools {

// "C_READ_COORDS", "READ_COORDS" (any case) or a decimal number; false if neither.
bool ParseCommand(const std::string& text, int& code);

// The command's name, or "" for an unnamed code.
const char* CommandName(int code);

// text from the system as a JSON string in UTF-8, quotes included.
std::string JsonString(const std::string& text);

// What the module wrote into the records, as indented text lines or one JSON object.
std::string DescribeText(const char* call, int code, int result, const InterfaceBlock& block);
std::string DescribeJson(const char* call, int code, int result, const InterfaceBlock& block);

}  // namespace kestar::tools
