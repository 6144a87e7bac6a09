// An installation kestar-host starts up against: App Paths naming a scratch install
// folder, a settings file whose six port lines leave their slots without a port, and
// the arm simulator as the arm library. Remove() takes the App Paths entry away.
#pragma once

#include "support/app_paths.h"
#include "support/scratch_folder.h"
#include "support/scratch_registry.h"
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

class HostInstallation : public ::testing::Test {
protected:
    ScratchRegistry registry;
    ScratchFolder install;

    // The settings file with PORTn's line given and the others "Spare -1".
    void WritePortLine(int n, const std::string& line) {
        std::string text = "[Parameters]\r\nCreateLogFile=0\r\n";
        for (int key = 1; key <= 6; ++key) {
            text += "PORT" + std::to_string(key) + "=" + (key == n ? line : "Spare -1") + "\r\n";
        }
        ASSERT_TRUE(WriteFileBytes(install.Join("tolvo/vodrane.ini"), text));
    }

    void SetUp() override {
        ASSERT_TRUE(MakeFolder(install.Join("tolvo")));
        WritePortLine(1, "Spare -1");
        ASSERT_TRUE(WriteAppPath(install.path()));
#if !defined(_WIN32)
        UseBuiltToolsEnvironment();
#endif
    }
    void TearDown() override {
        DeleteAppPath();
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
