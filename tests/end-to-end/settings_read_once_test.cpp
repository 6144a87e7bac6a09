// A start-up reads its settings file once, not once per key, and answers every key
// as a fresh read of each would. Run with the portable reader on both builds (the
// Windows reader keeps its own copy of the file).
#include "fakes/fake_arm.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "settings/settings_file.h"
#include "support/app_paths.h"
#include "support/scratch_folder.h"
#include "support/scratch_registry.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace kestar::testing {
namespace {

int opens = 0;
std::uint64_t bytesRead = 0;
platform::FileOps realFiles;

platform::FileHandle CountingOpen(const char* path) {
    ++opens;
    return realFiles.OpenForReading(path);
}

bool CountingRead(platform::FileHandle file, void* data, std::uint32_t size, std::uint32_t* read) {
    const bool ok = realFiles.Read(file, data, size, read);
    bytesRead += *read;
    return ok;
}

TEST(SettingsReadOnce, AStartUpReadsTheFileOnceWithTheAnswersOfFreshReads) {
    ScratchRegistry registry;
    ScratchFolder install;
    ScopedFakeArm arm;
    HostRecords records;
    ASSERT_TRUE(MakeFolder(install.Join("tolvo")));
    ASSERT_TRUE(WriteAppPath(install.path()));
    std::string text = "[Parameters]\r\nCreateLogFile=1\r\n";
    for (int n = 1; n <= 6; ++n) text += "PORT" + std::to_string(n) + "=Spare" + std::to_string(n) + " -1\r\n";
    text += "[Other]\r\n" + std::string(100000, ';') + "\r\n";  // a file worth reading once
    ASSERT_TRUE(WriteFileBytes(install.Join("tolvo/vodrane.ini"), text));

    platform::ScopedProfileOps portable(platform::ProfileOps{platform::ReadProfileString});
    realFiles = platform::Files();
    platform::FileOps counting = realFiles;
    counting.OpenForReading = CountingOpen;
    counting.Read = CountingRead;
    platform::ScopedFileOps files(counting);
    opens = 0;
    bytesRead = 0;
    settingsEcho = 1;  // the read of CreateLogFile is echoed too

    EXPECT_EQ(InitializeCommunications(&records.block(), 0, nullptr), 1);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(bytesRead, text.size());
    EXPECT_EQ(TerminateCommunications(), 1);

    // The same keys, each read afresh.
    const std::string log = ReadFileBytes(install.Join("tolvo/TolvoInterface.log"));
    settingsEcho = 0;
    opens = 0;
    for (int n = 0; n <= 6; ++n) {
        const std::string key = n == 0 ? "CreateLogFile" : "PORT" + std::to_string(n);
        std::string value;
        ASSERT_EQ(ReadSetting(value, key), 1) << key;
        EXPECT_NE(log.find(key + " = " + value + "\r\n"), std::string::npos) << log;
    }
    EXPECT_EQ(opens, 7) << "outside a start-up every read is fresh";
    DeleteAppPath();
}

}  // namespace
}  // namespace kestar::testing
