#include "command_line.h"

#include "host_commands.h"

#include <cstdio>
#include <cstring>

namespace kestar::tools {

bool JsonWanted(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) return true;
    }
    return false;
}

int ReportErrorTo(std::FILE* out, std::FILE* err, bool json, int exit, const std::string& error,
                  const std::string& hint) {
    std::fprintf(err, "kestar-host: %s\n", error.c_str());
    if (!hint.empty()) std::fprintf(err, "  %s\n", hint.c_str());
    std::fflush(err);
    if (json) {
        std::fprintf(out, "{\"error\":%s,\"hint\":%s,\"exit\":%d}\n", JsonString(error).c_str(),
                     hint.empty() ? "null" : JsonString(hint).c_str(), exit);
        std::fflush(out);
    }
    return exit;
}

int ReportError(bool json, int exit, const std::string& error, const std::string& hint) {
    return ReportErrorTo(stdout, stderr, json, exit, error, hint);
}

std::string CommandError(const std::string& arg) {
    int code = 0;
    if (ParseCommand(arg, code) == Parsed::kOutOfRange) {
        return "command " + arg + " is out of the 32-bit range (-2147483648 to 2147483647)";
    }
    const std::vector<std::string> near = NearestCommandNames(arg);
    std::string error = "unknown command " + arg;
    if (!near.empty()) {
        error += "; did you mean ";
        for (std::size_t i = 0; i < near.size(); ++i) {
            error += (i == 0 ? "" : i + 1 == near.size() ? " or " : ", ") + near[i];
        }
        return error + "?";
    }
    return error + " (kestar-host --list shows every command)";
}

}  // namespace kestar::tools
