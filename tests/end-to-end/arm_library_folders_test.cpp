// Which arm library a host gets: kestar-host started from a folder of its own, the
// module in another, and the current folder a third that holds a planted arm
// library (one without LeggeQuota, so that it shows when loaded). Only the library
// beside the module is ever loaded.
#include "loaded_module.h"
#include "support/app_paths.h"
#include "support/program_run.h"
#include "support/scratch_folder.h"
#include "support/scratch_registry.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace kestar::testing {
namespace {

#if defined(_WIN32)
constexpr const char* kArmFile = "zuroz.dll";
constexpr const char* kHostFile = "kestar-host.exe";
constexpr const char* kPlantedArm = "\\arm-no-quota\\zuroz.dll";
#else
constexpr const char* kArmFile = "libzuroz.so";
constexpr const char* kHostFile = "kestar-host";
constexpr const char* kPlantedArm = "/libzuroz-no-quota.so";
#endif

TEST(ArmLibraryFolders, PlantedLibraryInTheCurrentFolderIsNeverLoadedTheOneBesideTheModuleIs) {
    ScratchRegistry registry;
    ScratchFolder install;
    ASSERT_TRUE(MakeFolder(install.Join("tolvo")));
    std::string settings = "[Parameters]\r\n";
    for (int n = 1; n <= 6; ++n) settings += "PORT" + std::to_string(n) + "=Spare -1\r\n";
    ASSERT_TRUE(WriteFileBytes(install.Join("tolvo/vodrane.ini"), settings));
    ASSERT_TRUE(WriteAppPath(install.path()));
    SetEnvironment("KESTAR_ARM_LIBRARY", nullptr);
    const std::string arm = ReadFileBytes(BuiltArmSimulatorPath());
    const std::string planted = ReadFileBytes(ExecutableDirectory() + kPlantedArm);
    const std::string module = ReadFileBytes(BuiltModulePath());
    ASSERT_FALSE(arm.empty());
    ASSERT_FALSE(planted.empty());
    ASSERT_FALSE(module.empty());

    for (const bool besideModule : {true, false}) {
        ScratchFolder moduleFolder, current;
        ASSERT_TRUE(WriteFileBytes(moduleFolder.Join(tools::ModuleFileName()), module));
        ASSERT_TRUE(WriteFileBytes(current.Join(kArmFile), planted));
        if (besideModule) ASSERT_TRUE(WriteFileBytes(moduleFolder.Join(kArmFile), arm));
#if defined(_WIN32)
        // The program's own folder is one the system searches: it holds nothing else.
        ScratchFolder hostFolder;
        const std::string host = ReadFileBytes(ExecutableDirectory() + "\\" + kHostFile);
        ASSERT_TRUE(WriteFileBytes(hostFolder.Join(kHostFile), host));
        const std::string program = hostFolder.Join(kHostFile);
#else
        const std::string program = ExecutableDirectory() + "/" + kHostFile;
#endif
        const ProgramRun run = RunProgramIn(current.path(), program,
                                            {"--json", "--module", moduleFolder.Join(tools::ModuleFileName()),
                                             "READ_COORDS"});
        const std::string log = ReadFileBytes(install.Join("tolvo/TolvoInterface.log"));
        if (besideModule) {
            EXPECT_EQ(run.exitCode, 0) << run.out;
            EXPECT_EQ(log.find("arm library"), std::string::npos) << log;
        } else {
            EXPECT_EQ(run.exitCode, 1) << run.out;
            EXPECT_NE(run.out.find("\"errorCode\":1001"), std::string::npos) << run.out;
            EXPECT_NE(log.find("could not be loaded"), std::string::npos) << log;
            EXPECT_EQ(log.find("lacks"), std::string::npos) << "the planted library was loaded: " << log;
        }
    }
    DeleteAppPath();
}

}  // namespace
}  // namespace kestar::testing
