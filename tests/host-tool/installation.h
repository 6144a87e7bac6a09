// An installation kestar-host starts up against: App Paths naming a scratch install
// folder, a settings file whose six port lines leave their slots without a port, and
// the arm simulator as the arm library. Remove() takes the App Paths entry away.
#pragma once

#include "support/install_fixture.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace kestar::testing {

// Whether text is pattern, where '*' stands for any text.
inline bool Matches(const std::string& text, const std::string& pattern) {
    const std::size_t star = pattern.find('*');
    if (star == std::string::npos) return text == pattern;
    if (text.compare(0, star, pattern, 0, star) != 0) return false;
    for (std::size_t at = star; at <= text.size(); ++at) {
        if (Matches(text.substr(at), pattern.substr(star + 1))) return true;
    }
    return false;
}

class HostInstallation : public InstallFixture {
protected:
    // The settings file with PORTn's line given and the others "Spare -1".
    void WritePortLine(int n, const std::string& line) {
        std::vector<std::string> ports(6, "Spare -1");
        ports[static_cast<std::size_t>(n - 1)] = line;
        WriteSettingsText(SettingsText("0", ports));
    }

    void SetUp() override {
        InstallFixture::SetUp();
        WritePortLine(1, "Spare -1");
#if !defined(_WIN32)
        UseBuiltToolsEnvironment();
#endif
    }
    void TearDown() override {
        InstallFixture::TearDown();
#if !defined(_WIN32)
        SetEnvironment("KESTAR_ARM_LIBRARY", nullptr);
#endif
    }

    static std::string Host() {
#if defined(_WIN32)
        return ExecutableDirectory() + "\\kestar-host.exe";
#else
        return ExecutableDirectory() + "/kestar-host";
#endif
    }
};

}  // namespace kestar::testing
