// The installation most whole-run tests begin from, and the settings file's text.
#pragma once

#include "support/app_paths.h"
#include "support/scratch_folder.h"
#include "support/scratch_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestar::testing {

// [Parameters], CreateLogFile=createLogFile (nullptr: no such key), then PORT1 to
// PORT6 from ports and "Spare -1" for each key past its end; a key given as "" is
// left out of the file.
std::string SettingsText(const char* createLogFile, std::vector<std::string> ports = {});

// The two COM numbers of ctest's pseudo-terminal pair ($KESTAR_SERIAL_PAIR, "first:second").
bool SerialPair(int& first, int& second);
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
