// The administrator test over a scripted token, and the App Paths lookup against
// the registry (Windows) or the registry store (POSIX).
#include "settings/install_directory.h"

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/system.h"
#include "support/scratch_folder.h"
#include "support/scratch_registry.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace kestar {
namespace {

// --- a scripted token ---

struct TokenScript {
    bool openFails = false;
    bool listTooLarge = false;
    std::vector<std::vector<unsigned char>> sids;  // SIDs in the Windows layout
    std::vector<std::uint32_t> attributes;
    int opens = 0;
    int closes = 0;
    int reads = 0;
};
TokenScript token;

std::vector<unsigned char> SidBytes(std::uint8_t authority, std::vector<std::uint32_t> subs) {
    std::vector<unsigned char> sid = {1, static_cast<unsigned char>(subs.size()), 0, 0, 0, 0, 0, authority};
    for (std::uint32_t s : subs) {
        for (int i = 0; i < 4; ++i) sid.push_back(static_cast<unsigned char>(s >> (8 * i)));
    }
    return sid;
}

bool ScriptOpen(std::uint32_t access, platform::TokenHandle* handle) {
    ++token.opens;
    EXPECT_EQ(access, platform::kTokenRead);
    *handle = 0x55;
    return !token.openFails;
}

bool ScriptRead(platform::TokenHandle, int infoClass, void* buffer, std::uint32_t size, std::uint32_t* returned) {
    ++token.reads;
    EXPECT_EQ(infoClass, platform::kTokenGroupsClass);
    EXPECT_EQ(size, 1024u);
    if (token.listTooLarge) {
        *returned = 1500;
        return false;
    }
    auto* groups = static_cast<platform::TokenGroups*>(buffer);
    groups->groupCount = static_cast<std::uint32_t>(token.sids.size());
    for (std::size_t i = 0; i < token.sids.size(); ++i) {
        groups->groups[i].sid = token.sids[i].data();
        groups->groups[i].attributes = token.attributes[i];
    }
    *returned = size;
    return true;
}

bool ScriptClose(platform::TokenHandle handle) {
    ++token.closes;
    return handle == 0x55;
}

std::uint32_t versionWord = 0x0000000A;
std::uint32_t ScriptVersion() { return versionWord; }

class AdministratorTest : public ::testing::Test {
protected:
    void SetUp() override {
        token = TokenScript{};
        versionWord = 0x0000000A;
        platform::SecurityOps ops = platform::SecurityDefaults();
        ops.OpenProcessToken = ScriptOpen;
        ops.GetTokenInformation = ScriptRead;
        ops.CloseHandle = ScriptClose;
        security_ = std::make_unique<platform::ScopedSecurityOps>(ops);
        platform::SystemOps system = platform::SystemDefaults();
        system.GetVersion = ScriptVersion;
        system_ = std::make_unique<platform::ScopedSystemOps>(system);
    }
    void Group(std::vector<unsigned char> sid, std::uint32_t attributes) {
        token.sids.push_back(std::move(sid));
        token.attributes.push_back(attributes);
    }
    std::unique_ptr<platform::ScopedSecurityOps> security_;
    std::unique_ptr<platform::ScopedSystemOps> system_;
};

const std::vector<unsigned char> kAdministrators = SidBytes(5, {32, 544});
const std::vector<unsigned char> kUsers = SidBytes(5, {32, 545});
const std::vector<unsigned char> kSomeone = SidBytes(5, {21, 1000, 2000, 3000, 1001});

TEST_F(AdministratorTest, APlatformWithoutNtSecurityCountsAsAdministratorWithoutTokenAccess) {
    versionWord = 0x80000A04;
    EXPECT_EQ(IsAdministrator(), 1);
    EXPECT_EQ(token.opens, 0);
}

TEST_F(AdministratorTest, AdministratorsAnywhereInTheListGiveOne) {
    Group(kSomeone, platform::kSeGroupEnabled);
    Group(kUsers, platform::kSeGroupEnabled);
    Group(kAdministrators, platform::kSeGroupEnabled);
    EXPECT_EQ(IsAdministrator(), 1);
    EXPECT_EQ(token.closes, 1);
}

TEST_F(AdministratorTest, AdministratorsListedOnlyForDenyStillGiveOne) {
    Group(kAdministrators, platform::kSeGroupUseForDenyOnly);
    EXPECT_EQ(IsAdministrator(), 1);
}

TEST_F(AdministratorTest, ATokenWithoutAdministratorsGivesZero) {
    Group(kUsers, platform::kSeGroupEnabled);
    Group(SidBytes(5, {32}), platform::kSeGroupEnabled);
    Group(kSomeone, platform::kSeGroupEnabled);
    EXPECT_EQ(IsAdministrator(), 0);
    EXPECT_EQ(token.closes, 1);
}

TEST_F(AdministratorTest, AGroupListLargerThanTheAreaGivesZeroAndTheTokenIsClosed) {
    token.listTooLarge = true;
    EXPECT_EQ(IsAdministrator(), 0);
    EXPECT_EQ(token.reads, 1);
    EXPECT_EQ(token.closes, 1);
}

TEST_F(AdministratorTest, ATokenThatCannotBeOpenedGivesZero) {
    token.openFails = true;
    EXPECT_EQ(IsAdministrator(), 0);
    EXPECT_EQ(token.reads, 0);
}

#if !defined(_WIN32)
TEST(AdministratorPosix, TheProcessTokenListsAdministratorsForUserZeroOnly) {
    EXPECT_EQ(IsAdministrator(), ::geteuid() == 0 ? 1 : 0);
}
#endif

// --- the App Paths lookup ---

int writes = 0;
platform::RegistryOps realRegistry;
bool refuseFullAccess = false;

long WatchOpenKeyEx(platform::RegHandle r, const char* p, std::uint32_t o, std::uint32_t a, platform::RegHandle* h) {
    if (refuseFullAccess && a == platform::kKeyAllAccess) return platform::kRegAccessDenied;
    return realRegistry.OpenKeyEx(r, p, o, a, h);
}
long WatchCreateKeyEx(platform::RegHandle r, const char* p, std::uint32_t o, std::uint32_t a, platform::RegHandle* h,
                      std::uint32_t* d) {
    ++writes;
    return realRegistry.CreateKeyEx(r, p, o, a, h, d);
}
long WatchCreateKey(platform::RegHandle r, const char* p, platform::RegHandle* h) {
    ++writes;
    return realRegistry.CreateKey(r, p, h);
}
long WatchDeleteKey(platform::RegHandle h, const char* s) {
    ++writes;
    return realRegistry.DeleteKey(h, s);
}
long WatchSet(platform::RegHandle h, const char* n, std::uint32_t t, const unsigned char* d, std::uint32_t s) {
    ++writes;
    return realRegistry.SetValueEx(h, n, t, d, s);
}

class InstallDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        realRegistry = platform::RegistryDefaults();
        writes = 0;
        refuseFullAccess = false;
        testing::SetEnvironment("KESTAR_INSTALL_DIR", nullptr);
        testing::DeleteRegistryTree(platform::kHkeyLocalMachine, kAppPathsKey);
        existing_ = scratch_.Join("Host");
        ASSERT_TRUE(testing::MakeFolder(existing_));
    }
    void TearDown() override {
        watch_.reset();
        testing::DeleteRegistryTree(platform::kHkeyLocalMachine, kAppPathsKey);
    }

    void Register(std::uint32_t type, const std::string& bytes, const char* name = kAppPathValue) {
        platform::RegHandle h = 0;
        ASSERT_EQ(realRegistry.CreateKeyEx(platform::kHkeyLocalMachine, kAppPathsKey, 0, platform::kKeyAllAccess, &h,
                                           nullptr),
                  0);
        if (name != nullptr) {
            ASSERT_EQ(realRegistry.SetValueEx(h, name, type, reinterpret_cast<const unsigned char*>(bytes.data()),
                                              static_cast<std::uint32_t>(bytes.size())),
                      0);
        }
        realRegistry.CloseKey(h);
    }
    void RegisterPath(const std::string& directory) { Register(platform::kRegSz, directory + std::string(1, '\0')); }

    void Watch() {
        platform::RegistryOps ops = realRegistry;
        ops.OpenKeyEx = WatchOpenKeyEx;
        ops.CreateKeyEx = WatchCreateKeyEx;
        ops.CreateKey = WatchCreateKey;
        ops.DeleteKey = WatchDeleteKey;
        ops.SetValueEx = WatchSet;
        watch_ = std::make_unique<platform::ScopedRegistryOps>(ops);
    }

    testing::ScratchRegistry registry_;  // the POSIX store lives here
    testing::ScratchFolder scratch_;
    std::string existing_;
    std::unique_ptr<platform::ScopedRegistryOps> watch_;
};

TEST_F(InstallDirectoryTest, NoEntryLeavesTheStringAsItWas) {
    std::string directory = "earlier";
    EXPECT_EQ(FindInstallDirectory(directory), 0);
    EXPECT_EQ(directory, "earlier");
}

TEST_F(InstallDirectoryTest, AnExistingDirectoryComesBackExactlyAsStored) {
    RegisterPath(existing_);
    std::string directory;
    EXPECT_EQ(FindInstallDirectory(directory), 1);
    EXPECT_EQ(directory, existing_);
    RegisterPath(existing_ + testing::PathSeparator());
    EXPECT_EQ(FindInstallDirectory(directory), 1);
    EXPECT_EQ(directory, existing_ + testing::PathSeparator());
}

TEST_F(InstallDirectoryTest, AnEntryWithoutPathKeepsOnlyAnEarlierDirectoryThatExists) {
    Register(platform::kRegSz, "", nullptr);
    std::string directory;
    EXPECT_EQ(FindInstallDirectory(directory), 0);
    EXPECT_EQ(directory, "");
    directory = existing_;
    EXPECT_EQ(FindInstallDirectory(directory), 1);
    EXPECT_EQ(directory, existing_);
    directory = scratch_.Join("gone");
    EXPECT_EQ(FindInstallDirectory(directory), 0);
    EXPECT_EQ(directory, "");
}

TEST_F(InstallDirectoryTest, EmptyExpandableOrMissingDirectoriesGiveAnEmptyString) {
    const std::vector<std::pair<std::uint32_t, std::string>> values = {
        {platform::kRegSz, std::string(1, '\0')},
        {platform::kRegExpandSz, existing_ + std::string(1, '\0')},
        {platform::kRegBinary, existing_},
        {platform::kRegSz, scratch_.Join("missing") + std::string(1, '\0')},
        {platform::kRegSz, std::string(5000, 'd') + std::string(1, '\0')},
    };
    for (const auto& value : values) {
        Register(value.first, value.second);
        std::string directory = "earlier";
        EXPECT_EQ(FindInstallDirectory(directory), 0) << value.second.size();
        EXPECT_EQ(directory, "");
    }
}

// A folder whose log path the file calls cannot take counts as none, and the trace says why.
TEST_F(InstallDirectoryTest, AFolderTheFileCallsCannotReachIsNamedOnTheTrace) {
    std::vector<std::string> folders = {existing_ + std::string(platform::kMaxPathChars - existing_.size() - 20, 'd')};
#if defined(_WIN32)
    folders.push_back(existing_ + "\\caf?");  // what the ANSI read makes of a name outside the code page
#endif
    for (const std::string& folder : folders) {
        RegisterPath(folder);
        testing::ScopedTraceCapture trace;
        std::string directory;
        EXPECT_EQ(FindInstallDirectory(directory), 0);
        EXPECT_EQ(directory, "");
        EXPECT_NE(trace.text().find("cannot be used: the path"), std::string::npos) << trace.text();
    }
}

TEST_F(InstallDirectoryTest, AnAdministratorRefusedFullAccessGetsZeroAndKeepsTheString) {
    RegisterPath(existing_);
    Watch();
    refuseFullAccess = true;
    platform::SystemOps system = platform::SystemDefaults();
    system.GetVersion = [] { return 0x80000000u; };
    platform::ScopedSystemOps administrator(system);
    std::string directory = "earlier";
    EXPECT_EQ(FindInstallDirectory(directory), 0);
    EXPECT_EQ(directory, "earlier");
}

TEST_F(InstallDirectoryTest, TheLookupNeverChangesTheRegistryEvenWithFullAccess) {
    RegisterPath(existing_);
    Watch();
    platform::SystemOps system = platform::SystemDefaults();
    system.GetVersion = [] { return 0x80000000u; };
    platform::ScopedSystemOps administrator(system);
    std::string directory;
    EXPECT_EQ(FindInstallDirectory(directory), 1);
    RegisterPath(scratch_.Join("missing"));
    EXPECT_EQ(FindInstallDirectory(directory), 0);
    EXPECT_EQ(writes, 0);
}

#if !defined(_WIN32)
TEST_F(InstallDirectoryTest, TheEnvironmentStandsInOnlyWhereTheStoreHasNoEntry) {
    testing::SetEnvironment("KESTAR_INSTALL_DIR", existing_.c_str());
    std::string directory;
    EXPECT_EQ(FindInstallDirectory(directory), 1);
    EXPECT_EQ(directory, existing_);
    const std::string other = scratch_.Join("Other");
    ASSERT_TRUE(testing::MakeFolder(other));
    RegisterPath(other);
    EXPECT_EQ(FindInstallDirectory(directory), 1);
    EXPECT_EQ(directory, other);
    testing::DeleteRegistryTree(platform::kHkeyLocalMachine, kAppPathsKey);
    testing::SetEnvironment("KESTAR_INSTALL_DIR", scratch_.Join("none").c_str());
    EXPECT_EQ(FindInstallDirectory(directory), 0);
    EXPECT_EQ(directory, "");
    testing::SetEnvironment("KESTAR_INSTALL_DIR", nullptr);
}
#endif

}  // namespace
}  // namespace kestar
