// ReadSetting: values of the section "Parameters", the not-found and echo lines.
#include "settings/settings_file.h"

#include "log/interface_log.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "settings/install_directory.h"
#include "support/scratch_folder.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <memory>

namespace kestar {
namespace {

platform::TimeOfDay Noon() { return platform::TimeOfDay{12, 0, 0}; }

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SystemOps system = platform::SystemDefaults();
        system.LocalTimeOfDay = Noon;
        clock_ = std::make_unique<platform::ScopedSystemOps>(system);
        installDirectory = scratch_.path();
        SetLogFolder(installDirectory);
        ASSERT_TRUE(testing::MakeFolder(scratch_.Join("tolvo")));
        settingsEcho = 0;
        trace_ = std::make_unique<testing::ScopedTraceCapture>();
    }
    void TearDown() override {
        trace_.reset();
        CloseLog();
        settingsEcho = 0;
        installDirectory.clear();
        clock_.reset();
    }
    void Settings(const std::string& text) {
        ASSERT_TRUE(testing::WriteFileBytes(scratch_.Join("tolvo/vodrane.ini"), text));
    }
    std::string Logged() const { return trace_->text(); }
    static std::string Line(const std::string& text) { return "<12:0:00>   " + text + "\r\n"; }

    testing::ScratchFolder scratch_;
    std::unique_ptr<platform::ScopedSystemOps> clock_;
    std::unique_ptr<testing::ScopedTraceCapture> trace_;
};

TEST_F(SettingsFileTest, TheSettingsPathIsTheInstallDirectoryAndTheFixedPath) {
    EXPECT_EQ(SettingsFilePath(), scratch_.Join("tolvo/vodrane.ini"));
    installDirectory.clear();
    EXPECT_EQ(SettingsFilePath(), std::string(1, testing::PathSeparator()) + "tolvo" + testing::PathSeparator() +
                                      "vodrane.ini");
}

TEST_F(SettingsFileTest, AFoundValueLeavesNoTraceWhileEchoIsOff) {
    Settings("[Parameters]\r\nCreateLogFile=1\r\nPORT1=Controller,2,9600,N,8,1\r\n");
    std::string value;
    EXPECT_EQ(ReadSetting(value, "PORT1"), 1);
    EXPECT_EQ(value, "Controller,2,9600,N,8,1");
    EXPECT_EQ(Logged(), "");
}

TEST_F(SettingsFileTest, EchoWritesKeyEqualsValue) {
    Settings("[Parameters]\r\nCreateLogFile=1\r\n");
    settingsEcho = 1;
    std::string value;
    EXPECT_EQ(ReadSetting(value, "CreateLogFile"), 1);
    EXPECT_EQ(Logged(), Line("CreateLogFile = 1"));
}

TEST_F(SettingsFileTest, AMissingKeyEmptiesTheValueAndIsAlwaysLogged) {
    Settings("[Parameters]\r\nPORT1=x\r\n");
    settingsEcho = 1;
    std::string value = "stale";
    EXPECT_EQ(ReadSetting(value, "PORT3"), 0);
    EXPECT_EQ(value, "");
    EXPECT_EQ(Logged(), Line("Cannot find 'PORT3' in '" + scratch_.Join("tolvo/vodrane.ini") + "'"));
}

TEST_F(SettingsFileTest, AnEmptyValueCountsAsMissingWithoutAnEcho) {
    Settings("[Parameters]\r\nPORT2=\r\n");
    settingsEcho = 1;
    std::string value = "stale";
    EXPECT_EQ(ReadSetting(value, "PORT2"), 0);
    EXPECT_EQ(value, "");
    EXPECT_EQ(Logged().find(" = "), std::string::npos);
    EXPECT_NE(Logged().find("Cannot find 'PORT2'"), std::string::npos);
}

TEST_F(SettingsFileTest, LongValuesAreCutTo127Characters) {
    Settings("[Parameters]\r\nPORT1=" + std::string(200, 'v') + "\r\n");
    std::string value;
    EXPECT_EQ(ReadSetting(value, "PORT1"), 1);
    EXPECT_EQ(value, std::string(kSettingAreaSize - 1, 'v'));
}

TEST_F(SettingsFileTest, WithoutTheSectionOrTheFileEveryReadFails) {
    Settings("[Other]\r\nPORT1=x\r\n");
    std::string value;
    EXPECT_EQ(ReadSetting(value, "PORT1"), 0);
    testing::RemoveTree(scratch_.Join("tolvo"));
    EXPECT_EQ(ReadSetting(value, "PORT1"), 0);
    EXPECT_EQ(Logged(), Line("Cannot find 'PORT1' in '" + SettingsFilePath() + "'") +
                            Line("Cannot find 'PORT1' in '" + SettingsFilePath() + "'"));
}

TEST_F(SettingsFileTest, EveryReadSeesTheFileAsItIsNow) {
    Settings("[Parameters]\r\nPORT1=first\r\n");
    std::string value;
    ReadSetting(value, "PORT1");
    Settings("[Parameters]\r\nPORT1=second\r\n");
    ReadSetting(value, "PORT1");
    EXPECT_EQ(value, "second");
}

TEST_F(SettingsFileTest, TheValueIsHandedBackAsTheReaderGivesIt) {
    Settings("[Parameters]\r\nPORT1 =  \" Probe, 3 \"  \r\n");
    std::string value;
    EXPECT_EQ(ReadSetting(value, "port1"), 1);
    EXPECT_EQ(value, " Probe, 3 ");
}

TEST_F(SettingsFileTest, BinaryJunkAndHugeKeysNeitherCrashNorOverflow) {
    std::string junk;
    for (int i = 0; i < 70000; ++i) junk += static_cast<char>((i * 7919) % 256);
    Settings(junk + "\r\n[Parameters]\r\nPORT1=ok\r\n" + junk);
    std::string value;
    EXPECT_EQ(ReadSetting(value, "PORT1"), 1);
    EXPECT_EQ(value, "ok");
    const std::string key(5000, 'k');
    EXPECT_EQ(ReadSetting(value, key), 0);
    EXPECT_NE(Logged().find("Cannot find '" + key + "'"), std::string::npos);
}

// The portable reader keeps only key lines of the wanted section, at most
// kMaxProfileKeys of them: blank lines cost nothing, and a key past the cap is missing.
TEST_F(SettingsFileTest, ThePortableReaderKeepsOnlyKeyLinesOfTheSectionUpToItsCap) {
    std::string keys;
    for (std::size_t i = 0; i < platform::kMaxProfileKeys; ++i) keys += "K" + std::to_string(i) + "=v\r\n";
    const struct {
        std::string text;
        const char* value;  // nullptr: missing
    } rows[] = {
        {"[Other]\r\n" + keys + keys + "[Parameters]\r\n" + std::string(platform::kMaxSettingsFileBytes - 2 * keys.size() - 64, '\n') +
             "PORT1=x\r\n",
         "x"},
        {"[Parameters]\r\n" + keys + "PORT1=x\r\n", nullptr},
    };
    for (const auto& row : rows) {
        Settings(row.text);
        char value[kSettingAreaSize] = {};
        const std::uint32_t n = platform::ReadProfileString(kSettingsSection, "PORT1", "", value, sizeof value,
                                                            SettingsFilePath().c_str());
        EXPECT_EQ(std::string(value, n), row.value != nullptr ? row.value : "") << row.text.size();
    }
    EXPECT_NE(trace_->text().find("more than 1024 key lines"), std::string::npos);
}

}  // namespace
}  // namespace kestar
