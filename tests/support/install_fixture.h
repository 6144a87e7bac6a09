// The installation most whole-run tests begin from, and the settings file's text.
#pragma once

#include "support/app_paths.h"
#include "support/scratch_folder.h"
#include "support/scratch_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace kestar::testing {

// [Parameters], CreateLogFile=createLogFile (nullptr: no such key), then PORT1 to
// PORT6 from ports and "Spare -1" for each key past its end; a key given as "" is
// left out of the file.
inline std::string SettingsText(const char* createLogFile, std::vector<std::string> ports = {}) {
    std::string text = "[Parameters]\r\n";
    if (createLogFile != nullptr) text += std::string("CreateLogFile=") + createLogFile + "\r\n";
    ports.resize(std::max<std::size_t>(ports.size(), 6), "Spare -1");
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (!ports[i].empty()) text += "PORT" + std::to_string(i + 1) + "=" + ports[i] + "\r\n";
    }
    return text;
}

// The two COM numbers of ctest's pseudo-terminal pair ($KESTAR_SERIAL_PAIR, "first:second").
inline bool SerialPair(int& first, int& second) {
    const char* pair = std::getenv("KESTAR_SERIAL_PAIR");
    return pair != nullptr && std::sscanf(pair, "%d:%d", &first, &second) == 2;
}
constexpr const char* kNoSerialPair = "KESTAR_SERIAL_PAIR is not set (ctest's pseudo-terminal fixture sets it)";

// A scratch registry whose App Paths entry names a scratch install folder holding
// tolvo/, as start-up looks for them; the entry is deleted after the test.
class InstallFixture : public ::testing::Test {
protected:
    ScratchRegistry registry;
    ScratchFolder install;

    void SetUp() override {
        ASSERT_TRUE(MakeFolder(install.Join("tolvo")));
        ASSERT_TRUE(WriteAppPath(install.path()));
    }
    void TearDown() override { DeleteAppPath(); }
    void WriteSettingsText(const std::string& text) { ASSERT_TRUE(WriteFileBytes(install.Join("tolvo/vodrane.ini"), text)); }
    std::string LogFile() const { return ReadFileBytes(install.Join("tolvo/TolvoInterface.log")); }
};

}  // namespace kestar::testing
