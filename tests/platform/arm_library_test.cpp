// Looking up the arm library's calls.
#include "platform/arm_library.h"
#include "support/scratch_folder.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace kestar::platform {
namespace {

int KESTAR_CALL Dummy() { return 0; }

void* FromMap(void* context, const char* name) {
    auto& names = *static_cast<std::map<std::string, void*>*>(context);
    auto found = names.find(name);
    return found == names.end() ? nullptr : found->second;
}

TEST(ArmLookup, PrefersUndecoratedNamesThenStandardCallDecoration) {
    void* a = reinterpret_cast<void*>(&Dummy);
    int other = 0;
    std::map<std::string, void*> names = {{"AprePorta", a},         {"_AprePorta@4", &other},
                                          {"_LeggeParametri@4", a}, {"_ChiudePorta@0", a},
                                          {"_LeggeQuota@8", a},     {"ResetEncoder", a}};
    ArmLibrary arm = ResolveArmLibrary(FromMap, &names);
    EXPECT_EQ(reinterpret_cast<void*>(arm.AprePorta), a);
    EXPECT_NE(arm.LeggeParametri, nullptr);
    EXPECT_NE(arm.ChiudePorta, nullptr);
    EXPECT_NE(arm.LeggeQuota, nullptr);
    EXPECT_NE(arm.ResetEncoder, nullptr);
    EXPECT_EQ(MissingArmCalls(arm), "");
}

TEST(ArmLookup, NamesWhatIsMissing) {
    void* a = reinterpret_cast<void*>(&Dummy);
    std::map<std::string, void*> names = {{"AprePorta", a}, {"LeggeQuota@8", a}, {"ResetEncoder", a}};
    ArmLibrary arm = ResolveArmLibrary(FromMap, &names);
    EXPECT_EQ(MissingArmCalls(arm), "LeggeParametri ChiudePorta LeggeQuota");
}

TEST(ArmLookup, InstalledPartialArmIsReportedAndItsCallsRefuse) {
    ArmLibrary partial{};
    InstallArmLibrary(&partial);
    EXPECT_EQ(LoadArmLibrary(), "arm library lacks AprePorta LeggeParametri ChiudePorta LeggeQuota ResetEncoder");
    double reading[26];
    int status = 0;
    EXPECT_FALSE(ArmLeggeQuota(reading, &status));
    EXPECT_FALSE(ArmAprePorta("COM1"));
    InstallArmLibrary(nullptr);
}

// ---- Where the library is looked for ----------------------------------------------

#if defined(_WIN32)
constexpr const char* kArmFile = "zuroz.dll";
#else
constexpr const char* kArmFile = "libzuroz.so";
#endif

TEST(ArmLibraryFolders, CandidatesAreTheModuleFolderThenTheHostFolderNeverTheCurrentOne) {
    testing::SetEnvironment("KESTAR_ARM_LIBRARY", nullptr);
    struct Case {
        const char* moduleFolder;
        const char* hostFolder;
        std::vector<std::string> expected;
    };
#if defined(_WIN32)
    const Case cases[] = {
        {"C:\\Tolvo\\dll", "C:\\Tolvo", {"C:\\Tolvo\\dll\\zuroz.dll", "C:\\Tolvo\\zuroz.dll", "zuroz.dll"}},
        {"C:\\Tolvo\\", "c:\\tolvo", {"C:\\Tolvo\\zuroz.dll", "zuroz.dll"}},
        {"", "C:\\Tolvo", {"C:\\Tolvo\\zuroz.dll", "zuroz.dll"}},
        {"", "", {"zuroz.dll"}},
        {"dll", "C:tolvo", {"zuroz.dll"}},  // relative folders: the current folder's
        {"\\\\server\\share", "D:/Tolvo", {"\\\\server\\share\\zuroz.dll", "D:/Tolvo\\zuroz.dll", "zuroz.dll"}},
    };
#else
    const Case cases[] = {
        {"/opt/tolvo/lib", "/opt/tolvo/bin", {"/opt/tolvo/lib/libzuroz.so"}},
        {"/", "/usr/bin", {"/libzuroz.so"}},
        {"", "/usr/bin", {}},
        {"lib", "/usr/bin", {}},  // a relative folder: the current folder's
    };
#endif
    for (const Case& c : cases) {
        EXPECT_EQ(ArmLibraryCandidates(c.moduleFolder, c.hostFolder), c.expected) << c.moduleFolder;
    }
#if !defined(_WIN32)
    testing::SetEnvironment("KESTAR_ARM_LIBRARY", "/elsewhere/arm.so");
    EXPECT_EQ(ArmLibraryCandidates("/opt/tolvo/lib", "/usr/bin"), std::vector<std::string>{"/elsewhere/arm.so"});
    testing::SetEnvironment("KESTAR_ARM_LIBRARY", nullptr);
#endif
}

bool ChangeFolder(const std::string& folder) {
#if defined(_WIN32)
    return SetCurrentDirectoryA(folder.c_str()) != FALSE;
#else
    return chdir(folder.c_str()) == 0;
#endif
}

std::string CurrentFolder() {
    char path[4096] = {};
#if defined(_WIN32)
    GetCurrentDirectoryA(sizeof path, path);
#else
    if (getcwd(path, sizeof path) == nullptr) return std::string();
#endif
    return path;
}

// Three folders, each holding the built arm simulator or not; the current folder is
// the third. The file loaded is the first present of module folder and (Windows)
// host folder, and never the current folder's.
TEST(ArmLibraryFolders, LoadsTheFirstPresentOfModuleAndHostFolderAndNeverTheCurrentFolders) {
    testing::SetEnvironment("KESTAR_ARM_LIBRARY", nullptr);
    const std::string simulator = testing::ReadFileBytes(testing::BuiltArmSimulatorPath());
    ASSERT_FALSE(simulator.empty());
    const std::string before = CurrentFolder();
    enum Where { kModule = 1, kHost = 2, kCurrent = 4 };
    struct Case {
        int present;
        int expected;  // 0: none of the three
    };
#if defined(_WIN32)
    constexpr int kFromHostFolder = kHost;
#else
    constexpr int kFromHostFolder = 0;  // Linux looks beside the module only
#endif
    const Case cases[] = {{kModule | kHost | kCurrent, kModule}, {kHost | kCurrent, kFromHostFolder}, {kCurrent, 0}};
    for (const Case& c : cases) {
        testing::ScratchFolder module, host, current;
        const testing::ScratchFolder* folders[] = {&module, &host, &current};
        for (int i = 0; i < 3; ++i) {
            if (c.present & (1 << i)) ASSERT_TRUE(testing::WriteFileBytes(folders[i]->Join(kArmFile), simulator));
        }
        ASSERT_TRUE(ChangeFolder(current.path()));
        std::string file;
        std::string problem;
        void* handle = OpenArmLibraryFrom(ArmLibraryCandidates(module.path(), host.path()), file, problem);
        ASSERT_TRUE(ChangeFolder(before));
        const std::string loadedFolder = file.substr(0, file.find_last_of("\\/"));
        if (c.expected == kModule) EXPECT_EQ(loadedFolder, module.path()) << problem;
        if (c.expected == kHost) EXPECT_EQ(loadedFolder, host.path()) << problem;
        // Windows still asks the system's default folders for the bare name, and they
        // hold the test program's folder, which has a simulator of its own.
        if (c.expected == 0 && handle != nullptr) EXPECT_NE(loadedFolder, current.path()) << file;
#if !defined(_WIN32)
        EXPECT_EQ(handle == nullptr, c.expected == 0) << file;
        if (handle == nullptr) EXPECT_NE(problem.find("could not be loaded"), std::string::npos) << problem;
#endif
        // Unloaded again, so that the scratch folders can go.
        if (handle != nullptr && c.expected != 0) {
#if defined(_WIN32)
            FreeLibrary(static_cast<HMODULE>(handle));
#else
            dlclose(handle);
#endif
        }
    }
}

// Start-up's own search: this program's folder holds the simulator, and the debug
// trace names the file loaded.
TEST(ArmLibraryFolders, TheSystemLibraryComesFromBesideTheModuleAndTheTraceNamesIt) {
    testing::SetEnvironment("KESTAR_ARM_LIBRARY", nullptr);
    testing::ScopedTraceCapture trace;
    std::string file;
    std::string problem;
    ASSERT_NE(OpenSystemArmLibrary(file, problem), nullptr) << problem;
    EXPECT_EQ(file.substr(0, file.find_last_of("\\/")), testing::ExecutableDirectory());
    EXPECT_EQ(ModuleFolder(), testing::ExecutableDirectory()) << "the module's code is linked into this program";
    EXPECT_NE(trace.text().find("arm library loaded from " + file + "\n"), std::string::npos) << trace.text();
}

}  // namespace
}  // namespace kestar::platform
