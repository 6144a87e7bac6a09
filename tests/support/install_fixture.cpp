#include "support/install_fixture.h"

#include <cstdio>
#include <cstdlib>

namespace kestar::testing {

std::string SettingsText(const char* createLogFile, std::vector<std::string> ports) {
    std::string text = "[Parameters]\r\n";
    if (createLogFile != nullptr) text += std::string("CreateLogFile=") + createLogFile + "\r\n";
    while (ports.size() < 6) ports.emplace_back("Spare -1");
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (!ports[i].empty()) text += "PORT" + std::to_string(i + 1) + "=" + ports[i] + "\r\n";
    }
    return text;
}

bool SerialPair(int& first, int& second) {
    const char* pair = std::getenv("KESTAR_SERIAL_PAIR");
    return pair != nullptr && std::sscanf(pair, "%d:%d", &first, &second) == 2;
}

}  // namespace kestar::testing
