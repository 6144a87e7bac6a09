// RegKey against the system registry (Windows) or the registry store (POSIX).
#include "settings/regkey.h"

#include "platform/debug_assert.h"
#include "platform/registry.h"
#include "support/scratch_registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace kestar {
namespace {

using platform::Registry;
using platform::RegHandle;

// Counts the calls that reach the registry, passing them on.
struct CallCount {
    int open = 0, create = 0, close = 0, remove = 0, query = 0, set = 0;
    long closeStatus = platform::kRegSuccess;  // forced result of CloseKey when not 0
    bool refuseOpenAndCreate = false;
    bool refuseSet = false;
};
CallCount calls;
platform::RegistryOps real;
// Handles opened or created through the wrapper and not closed yet.
std::set<RegHandle> liveHandles;

long Opened(long status, RegHandle* h) {
    if (status == platform::kRegSuccess) liveHandles.insert(*h);
    return status;
}

long CountOpenKeyEx(RegHandle r, const char* p, std::uint32_t o, std::uint32_t a, RegHandle* h) {
    ++calls.open;
    if (calls.refuseOpenAndCreate) return platform::kRegAccessDenied;
    return Opened(real.OpenKeyEx(r, p, o, a, h), h);
}
long CountOpenKey(RegHandle r, const char* p, RegHandle* h) {
    ++calls.open;
    return Opened(real.OpenKey(r, p, h), h);
}
long CountCreateKeyEx(RegHandle r, const char* p, std::uint32_t o, std::uint32_t a, RegHandle* h, std::uint32_t* d) {
    ++calls.create;
    return Opened(real.CreateKeyEx(r, p, o, a, h, d), h);
}
long CountCreateKey(RegHandle r, const char* p, RegHandle* h) {
    ++calls.create;
    if (calls.refuseOpenAndCreate) return platform::kRegAccessDenied;
    return Opened(real.CreateKey(r, p, h), h);
}
long CountCloseKey(RegHandle h) {
    ++calls.close;
    liveHandles.erase(h);
    long status = real.CloseKey(h);
    return calls.closeStatus != platform::kRegSuccess ? calls.closeStatus : status;
}
long CountDeleteKey(RegHandle h, const char* s) {
    ++calls.remove;
    return real.DeleteKey(h, s);
}
long CountQuery(RegHandle h, const char* n, std::uint32_t* t, unsigned char* d, std::uint32_t* s) {
    ++calls.query;
    return real.QueryValueEx(h, n, t, d, s);
}
long CountSet(RegHandle h, const char* n, std::uint32_t t, const unsigned char* d, std::uint32_t s) {
    ++calls.set;
    if (calls.refuseSet) return platform::kRegAccessDenied;
    return real.SetValueEx(h, n, t, d, s);
}

class RegKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        calls = CallCount{};
        liveHandles.clear();
        real = platform::RegistryDefaults();
        counting_ = std::make_unique<platform::ScopedRegistryOps>(platform::RegistryOps{
            CountOpenKeyEx, CountOpenKey, CountCreateKeyEx, CountCreateKey, CountCloseKey, CountDeleteKey,
            CountQuery, CountSet});
    }
    void TearDown() override { counting_.reset(); }

    // The base key, created, for raw value tests.
    RegKey& Opened(int writable = 1) {
        key_ = std::make_unique<RegKey>(scratch_.root(), scratch_.base(), writable);
        EXPECT_EQ(key_->Create(), 1);
        calls = CallCount{};
        return *key_;
    }

    // What is stored under the base key: type and bytes, through the registry itself.
    bool Stored(const char* name, std::uint32_t& type, std::string& bytes, const std::string& sub = "") {
        std::string path = scratch_.base() + (sub.empty() ? "" : "\\" + sub);
        RegHandle h = 0;
        if (real.OpenKeyEx(scratch_.root(), path.c_str(), 0, platform::kKeyRead, &h) != 0) return false;
        std::uint32_t size = 0;
        bool found = real.QueryValueEx(h, name, &type, nullptr, &size) == 0;
        if (found) {
            std::vector<unsigned char> data(size + 1);
            found = real.QueryValueEx(h, name, &type, data.data(), &size) == 0;
            bytes.assign(reinterpret_cast<const char*>(data.data()), size);
        }
        real.CloseKey(h);
        return found;
    }

    void Plant(const char* name, std::uint32_t type, const std::string& bytes) {
        RegHandle h = 0;
        ASSERT_EQ(real.CreateKeyEx(scratch_.root(), scratch_.base().c_str(), 0, platform::kKeyAllAccess, &h, nullptr), 0);
        ASSERT_EQ(real.SetValueEx(h, name, type, reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<std::uint32_t>(bytes.size())),
                  0);
        real.CloseKey(h);
    }

    bool KeyExists(const std::string& path) {
        RegHandle h = 0;
        if (real.OpenKeyEx(scratch_.root(), path.c_str(), 0, platform::kKeyRead, &h) != 0) return false;
        real.CloseKey(h);
        return true;
    }

    testing::ScratchRegistry scratch_;
    std::unique_ptr<RegKey> key_;
    std::unique_ptr<platform::ScopedRegistryOps> counting_;
};

// --- keys ---

TEST_F(RegKeyTest, ConstructionOpensNothingAndClosingAClosedKeyCallsNothing) {
    RegKey key(scratch_.root(), scratch_.base(), 1);
    EXPECT_EQ(key.handle(), 0u);
    EXPECT_EQ(key.Close(), 1);
    EXPECT_EQ(calls.open + calls.create + calls.close, 0);
}

TEST_F(RegKeyTest, OpenFailsOnAMissingKeyUntilCreateMakesIt) {
    RegKey key(scratch_.root(), scratch_.base(), 1);
    EXPECT_EQ(key.Open(), 0);
    EXPECT_EQ(key.handle(), 0u);
    EXPECT_EQ(key.Create(), 1);
    EXPECT_NE(key.handle(), 0u);
    EXPECT_EQ(key.Close(), 1);
    EXPECT_EQ(key.Open(), 1);
}

TEST_F(RegKeyTest, KeyNamesMatchWithoutRegardToCase) {
    RegKey key(scratch_.root(), scratch_.base() + "\\Alpha\\Beta", 1);
    ASSERT_EQ(key.Create(), 1);
    EXPECT_TRUE(KeyExists(scratch_.base() + "\\ALPHA\\beta"));
}

TEST_F(RegKeyTest, OpenAtTakesTheWritableFlagButKeepsRootAndPath) {
    RegKey maker(scratch_.root(), scratch_.base() + "\\Other", 1);
    ASSERT_EQ(maker.Create(), 1);
    RegKey key(scratch_.root(), scratch_.base(), 1);
    EXPECT_EQ(key.OpenAt(scratch_.root(), scratch_.base() + "\\Other", 0), 1);
    EXPECT_EQ(key.writable(), 0);
    EXPECT_EQ(key.path(), scratch_.base());
    EXPECT_EQ(key.root(), scratch_.root());
}

TEST_F(RegKeyTest, OpenChildOpensASubKeyOfTheParent) {
    RegKey maker(scratch_.root(), scratch_.base() + "\\Child", 1);
    ASSERT_EQ(maker.Create(), 1);
    RegKey parent(scratch_.root(), scratch_.base(), 1);
    ASSERT_EQ(parent.Open(), 1);
    RegKey child(0, "unused", 1);
    EXPECT_EQ(child.OpenChild(parent.handle(), "child"), 1);
    EXPECT_NE(child.handle(), parent.handle());
    EXPECT_EQ(child.OpenChild(parent.handle(), "Nobody"), 0);
}

TEST_F(RegKeyTest, CreateAtAdoptsTheParentOnlyWhenRootIsNull) {
    RegKey noRoot(0, "", 1);
    EXPECT_EQ(noRoot.CreateAt(scratch_.root(), (scratch_.base() + "\\Made").c_str()), 1);
    EXPECT_EQ(noRoot.root(), scratch_.root());
    EXPECT_TRUE(KeyExists(scratch_.base() + "\\Made"));
    RegKey withRoot(scratch_.root(), scratch_.base(), 1);
    ASSERT_EQ(withRoot.Create(), 1);
    RegHandle parent = withRoot.handle();
    RegKey adopted(scratch_.root(), "x", 1);
    // Created under the wrapper's own root, not under the parent given.
    EXPECT_EQ(adopted.CreateAt(parent, (scratch_.base() + "\\Second").c_str()), 1);
    EXPECT_TRUE(KeyExists(scratch_.base() + "\\Second"));
}

TEST_F(RegKeyTest, OpenOrCreateJoinsTheSubKeyWithOneBackslash) {
    RegKey key(scratch_.root(), scratch_.base(), 1);
    EXPECT_EQ(key.OpenOrCreate("Sub"), 1);
    EXPECT_EQ(calls.open, 1);
    EXPECT_EQ(calls.create, 1);
    EXPECT_TRUE(KeyExists(scratch_.base() + "\\Sub"));
    key.Close();
    calls = CallCount{};
    EXPECT_EQ(key.OpenOrCreate("Sub"), 1);
    EXPECT_EQ(calls.create, 0);
}

TEST_F(RegKeyTest, DeleteSubKeyRemovesTheKeyEvenOnAReadOnlyWrapper) {
    RegKey maker(scratch_.root(), scratch_.base() + "\\Doomed", 1);
    ASSERT_EQ(maker.Create(), 1);
    maker.Close();
    RegKey key(scratch_.root(), scratch_.base(), 0);
    ASSERT_EQ(key.Open(), 1);
    EXPECT_EQ(key.DeleteSubKey("Doomed"), 1);
    EXPECT_EQ(calls.remove, 1);
    EXPECT_FALSE(KeyExists(scratch_.base() + "\\Doomed"));
    EXPECT_EQ(key.DeleteSubKey("Doomed"), 0);
}

TEST_F(RegKeyTest, AKeyOpenedForReadingRefusesValueWrites) {
    RegKey maker(scratch_.root(), scratch_.base(), 1);
    ASSERT_EQ(maker.Create(), 1);
    RegHandle h = 0;
    ASSERT_EQ(real.OpenKeyEx(scratch_.root(), scratch_.base().c_str(), 0, platform::kKeyRead, &h), 0);
    const unsigned char byte = 1;
    EXPECT_NE(real.SetValueEx(h, "v", platform::kRegBinary, &byte, 1), 0);
    real.CloseKey(h);
}

TEST_F(RegKeyTest, AFailedCloseStillForgetsTheHandle) {
    RegKey key(scratch_.root(), scratch_.base(), 1);
    ASSERT_EQ(key.Create(), 1);
    calls.closeStatus = platform::kRegInvalidHandle;
    EXPECT_EQ(key.Close(), 0);
    EXPECT_EQ(key.handle(), 0u);
}

// --- raw values ---

TEST_F(RegKeyTest, StringsAreStoredWithTheirTerminatingZero) {
    RegKey& key = Opened();
    EXPECT_EQ(key.SetString("", "empty"), 1);
    EXPECT_EQ(key.SetString("ab", "two"), 1);
    std::uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(Stored("empty", type, bytes));
    EXPECT_EQ(type, platform::kRegSz);
    EXPECT_EQ(bytes, std::string(1, '\0'));
    ASSERT_TRUE(Stored("two", type, bytes));
    EXPECT_EQ(bytes, std::string("ab\0", 3));
    std::string back = "old";
    EXPECT_EQ(key.QueryString(back, "two"), 1);
    EXPECT_EQ(back, "ab");
}

TEST_F(RegKeyTest, AMissingValueIsSuccessAndLeavesTheOutputAlone) {
    RegKey& key = Opened();
    std::int32_t i = 77;
    double d = 1.25;
    std::string s = "kept";
    RegBlock block = {1, 2, 3};
    EXPECT_EQ(key.QueryInt(i, "none"), 1);
    EXPECT_EQ(key.QueryDouble(d, "none"), 1);
    EXPECT_EQ(key.QueryString(s, "none"), 1);
    EXPECT_EQ(key.QueryBinary(block, "none"), 1);
    EXPECT_EQ(i, 77);
    EXPECT_EQ(d, 1.25);
    EXPECT_EQ(s, "kept");
    EXPECT_EQ(block, (RegBlock{1, 2, 3}));
}

TEST_F(RegKeyTest, IntegersAreFourBinaryBytesInMemoryOrder) {
    RegKey& key = Opened();
    EXPECT_EQ(key.SetInt(0x11223344, "n"), 1);
    std::uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(Stored("n", type, bytes));
    EXPECT_EQ(type, platform::kRegBinary);
    EXPECT_EQ(bytes, std::string("\x44\x33\x22\x11", 4));
    std::int32_t back = 0;
    EXPECT_EQ(key.QueryInt(back, "n"), 1);
    EXPECT_EQ(back, 0x11223344);
}

TEST_F(RegKeyTest, QueryIntRefusesADwordOrEightBytesAndLeavesTheOutput) {
    Plant("dword", platform::kRegDword, std::string("\x05\0\0\0", 4));
    Plant("eight", platform::kRegBinary, std::string(8, '\x01'));
    RegKey& key = Opened();
    std::int32_t value = 9;
    EXPECT_EQ(key.QueryInt(value, "dword"), 0);
    EXPECT_EQ(key.QueryInt(value, "eight"), 0);
    EXPECT_EQ(value, 9);
}

TEST_F(RegKeyTest, DoublesAreEightBinaryBytesAndOtherSizesAreRefused) {
    RegKey& key = Opened();
    EXPECT_EQ(key.SetDouble(-2.75, "d"), 1);
    double back = 0;
    EXPECT_EQ(key.QueryDouble(back, "d"), 1);
    EXPECT_EQ(back, -2.75);
    Plant("four", platform::kRegBinary, std::string(4, '\x01'));
    EXPECT_EQ(key.QueryDouble(back, "four"), 0);
    EXPECT_EQ(back, -2.75);
}

TEST_F(RegKeyTest, QueryStringRefusesOtherTypesAndExpandableStrings) {
    Plant("expand", platform::kRegExpandSz, std::string("%PATH%\0", 7));
    Plant("binary", platform::kRegBinary, std::string("abc", 3));
    RegKey& key = Opened();
    std::string value = "kept";
    EXPECT_EQ(key.QueryString(value, "expand"), 0);
    EXPECT_EQ(key.QueryString(value, "binary"), 0);
    EXPECT_EQ(value, "kept");
}

TEST_F(RegKeyTest, StringsAreCutAtTheirFirstZeroOrAtTheirStoredEnd) {
    Plant("inner", platform::kRegSz, std::string("ab\0cd\0", 6));
    Plant("unterminated", platform::kRegSz, std::string("xyz", 3));
    RegKey& key = Opened();
    std::string value;
    EXPECT_EQ(key.QueryString(value, "inner"), 1);
    EXPECT_EQ(value, "ab");
    EXPECT_EQ(key.QueryString(value, "unterminated"), 1);
    EXPECT_EQ(value, "xyz");
}

TEST_F(RegKeyTest, LongStringsComeBackWhole) {
    RegKey& key = Opened();
    const std::string text(70000, 'q');
    EXPECT_EQ(key.SetString(text, "long"), 1);
    std::string back;
    EXPECT_EQ(key.QueryString(back, "long"), 1);
    EXPECT_EQ(back, text);
}

TEST_F(RegKeyTest, BlocksAreStoredAtTheirSizeAndReadOnlyIntoABlockOfThatSize) {
    RegKey& key = Opened();
    EXPECT_EQ(key.SetBinary(RegBlock{9, 8, 7, 6, 5}, "blk"), 1);
    RegBlock same(5, 0);
    EXPECT_EQ(key.QueryBinary(same, "blk"), 1);
    EXPECT_EQ(same, (RegBlock{9, 8, 7, 6, 5}));
    RegBlock other(4, 1);
    EXPECT_EQ(key.QueryBinary(other, "blk"), 0);
    EXPECT_EQ(other, RegBlock(4, 1));
}

TEST_F(RegKeyTest, SettersOfAReadOnlyWrapperReportSuccessAndWriteNothing) {
    RegKey maker(scratch_.root(), scratch_.base(), 1);
    ASSERT_EQ(maker.Create(), 1);
    RegKey& key = Opened(0);
    EXPECT_EQ(key.SetInt(5, "i"), 1);
    EXPECT_EQ(key.SetString("s", "s"), 1);
    EXPECT_EQ(key.SetDouble(1.0, "d"), 1);
    EXPECT_EQ(key.SetBinary(RegBlock{1}, "b"), 1);
    EXPECT_EQ(calls.set, 0);
    std::uint32_t type = 0;
    std::string bytes;
    EXPECT_FALSE(Stored("i", type, bytes));
}

// --- accessors ---

TEST_F(RegKeyTest, ReadersGiveTheDefaultForAMissingValueAndClose) {
    RegKey key(scratch_.root(), scratch_.base(), 1);
    std::int32_t i = 0;
    std::string s;
    EXPECT_EQ(key.ReadInt(i, 42, "none"), 1);
    EXPECT_EQ(i, 42);
    EXPECT_EQ(key.ReadString(s, "dflt", "none"), 1);
    EXPECT_EQ(s, "dflt");
    EXPECT_EQ(key.handle(), 0u);
}

TEST_F(RegKeyTest, AReaderCreatesAMissingSubKeyEvenWhenNotWritable) {
    RegKey key(scratch_.root(), scratch_.base(), 0);
    double value = 0;
    EXPECT_EQ(key.ReadReal(value, 2.5, "r", "Fresh"), 1);
    EXPECT_EQ(value, 2.5);
    EXPECT_TRUE(KeyExists(scratch_.base() + "\\Fresh"));
}

TEST_F(RegKeyTest, ReadStringOfAnotherTypeFailsAndLeavesTheKeyOpen) {
    Plant("n", platform::kRegBinary, std::string(4, '\0'));
    RegKey key(scratch_.root(), scratch_.base(), 1);
    std::string s;
    EXPECT_EQ(key.ReadString(s, "dflt", "n"), 0);
    EXPECT_NE(key.handle(), 0u);
}

TEST_F(RegKeyTest, ReadIntOfAnotherTypeFailsButClosesAndGivesTheDefault) {
    Plant("s", platform::kRegSz, std::string("12\0", 3));
    RegKey key(scratch_.root(), scratch_.base(), 1);
    std::int32_t i = 0;
    EXPECT_EQ(key.ReadInt(i, 3, "s"), 0);
    EXPECT_EQ(i, 3);
    EXPECT_EQ(key.handle(), 0u);
}

TEST_F(RegKeyTest, RealsAreSixDecimalTextReadBackInSinglePrecision) {
    RegKey key(scratch_.root(), scratch_.base(), 1);
    EXPECT_EQ(key.WriteReal(1.0 / 3.0, "third"), 1);
    EXPECT_EQ(key.WriteReal(0.1, "tenth"), 1);
    std::uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(Stored("third", type, bytes));
    EXPECT_EQ(type, platform::kRegSz);
    EXPECT_EQ(bytes, std::string("0.333333\0", 9));
    double value = 0;
    EXPECT_EQ(key.ReadReal(value, 0.0, "tenth"), 1);
    EXPECT_EQ(value, 0.10000000149011612);
    EXPECT_EQ(key.handle(), 0u);
}

TEST_F(RegKeyTest, UnparsableRealTextGivesZero) {
    Plant("junk", platform::kRegSz, std::string("abc\0", 4));
    RegKey key(scratch_.root(), scratch_.base(), 1);
    double value = 7;
    EXPECT_EQ(key.ReadReal(value, 5.0, "junk"), 1);
    EXPECT_EQ(value, 0.0);
}

TEST_F(RegKeyTest, RectanglesAreTextAndMissingFieldsKeepTheDefault) {
    RegKey key(scratch_.root(), scratch_.base(), 1);
    EXPECT_EQ(key.WriteRect(RegRect{1, -2, 3, 4}, "full"), 1);
    std::uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(Stored("full", type, bytes));
    EXPECT_EQ(bytes, std::string("1 -2 3 4\0", 9));
    Plant("half", platform::kRegSz, std::string("5 6\0", 4));
    RegRect value{};
    EXPECT_EQ(key.ReadRect(value, RegRect{10, 20, 30, 40}, "half"), 1);
    EXPECT_EQ(value.left, 5);
    EXPECT_EQ(value.top, 6);
    EXPECT_EQ(value.right, 30);
    EXPECT_EQ(value.bottom, 40);
}

TEST_F(RegKeyTest, ReadRectOfAnotherTypeClosesAndGivesTheDefault) {
    Plant("bin", platform::kRegBinary, std::string(4, '\0'));
    RegKey key(scratch_.root(), scratch_.base(), 1);
    RegRect value{};
    EXPECT_EQ(key.ReadRect(value, RegRect{1, 2, 3, 4}, "bin"), 0);
    EXPECT_EQ(value.bottom, 4);
    EXPECT_EQ(key.handle(), 0u);
}

TEST_F(RegKeyTest, IntegerTriplesKeepWhatTheTextDoesNotGive) {
    RegKey key(scratch_.root(), scratch_.base(), 1);
    EXPECT_EQ(key.WriteInt3(7, 8, 9, "full"), 1);
    std::int32_t a = 0, b = 0, c = 0;
    EXPECT_EQ(key.ReadInt3(a, b, c, "0 0 0", "full"), 1);
    EXPECT_EQ(a * 100 + b * 10 + c, 789);
    Plant("one", platform::kRegSz, std::string("4\0", 2));
    a = b = c = -1;
    EXPECT_EQ(key.ReadInt3(a, b, c, "1 2 3", "one"), 1);
    EXPECT_EQ(a, 4);
    EXPECT_EQ(b, -1);
    EXPECT_EQ(c, -1);
    EXPECT_EQ(key.ReadInt3(a, b, c, "1 2 3", "missing"), 1);
    EXPECT_EQ(c, 3);
}

TEST_F(RegKeyTest, RealTriplesStartFromZero) {
    Plant("one", platform::kRegSz, std::string("1.5\0", 4));
    RegKey key(scratch_.root(), scratch_.base(), 1);
    double x = 9, y = 9, z = 9;
    EXPECT_EQ(key.ReadReal3(x, y, z, "3 3 3", "one"), 1);
    EXPECT_EQ(x, 1.5);
    EXPECT_EQ(y, 0.0);
    EXPECT_EQ(z, 0.0);
    EXPECT_EQ(key.WriteReal3(1.0, 2.0, 0.5, "three"), 1);
    std::uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(Stored("three", type, bytes));
    EXPECT_EQ(bytes, std::string("1.000000 2.000000 0.500000\0", 27));
}

TEST_F(RegKeyTest, ReadOnlyWritersReportSuccessExceptWriteReal3) {
    RegKey key(scratch_.root(), scratch_.base(), 0);
    EXPECT_EQ(key.WriteString("s", "s"), 1);
    EXPECT_EQ(key.WriteInt(1, "i"), 1);
    EXPECT_EQ(key.WriteBinary(RegBlock{1}, "b", "x"), 1);
    EXPECT_EQ(key.WriteRect(RegRect{}, "r"), 1);
    EXPECT_EQ(key.WriteInt3(1, 2, 3, "t"), 1);
    EXPECT_EQ(key.WriteReal(1.0, "f"), 1);
    EXPECT_EQ(key.WriteReal3(1.0, 2.0, 3.0, "g"), 0);
    EXPECT_EQ(calls.open + calls.create + calls.set, 0);
}

TEST_F(RegKeyTest, BinaryAccessorsWithAnEmptySubKeyWorkOnThePathAndABackslash) {
    RegKey key(scratch_.root(), scratch_.base(), 1);
    EXPECT_EQ(key.WriteBinary(RegBlock{4, 5}, "blk", ""), 1);
    std::uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(Stored("blk", type, bytes));
    EXPECT_EQ(bytes, "\x04\x05");
    RegBlock back(2, 0);
    EXPECT_EQ(key.ReadBinary(back, "blk", ""), 1);
    EXPECT_EQ(back, (RegBlock{4, 5}));
    RegBlock wrongSize(3, 0);
    EXPECT_EQ(key.ReadBinary(wrongSize, "blk", ""), 0);
    EXPECT_EQ(key.handle(), 0u);
}

TEST_F(RegKeyTest, AFailedOpenOrCreateEndsEveryAccessorBeforeAnyValueCall) {
    RegKey key(scratch_.root(), scratch_.base(), 1);
    calls.refuseOpenAndCreate = true;
    std::int32_t i = 5;
    double d = 1;
    RegRect r{};
    EXPECT_EQ(key.ReadInt(i, 1, "i"), 0);
    EXPECT_EQ(key.ReadReal(d, 2.0, "d"), 0);
    EXPECT_EQ(key.WriteRect(r, "r"), 0);
    EXPECT_EQ(key.WriteReal3(1, 2, 3, "g"), 0);
    EXPECT_EQ(calls.query + calls.set, 0);
    EXPECT_EQ(i, 5);
}

TEST_F(RegKeyTest, AFailedCloseTurnsAnAccessorsResultIntoZero) {
    RegKey key(scratch_.root(), scratch_.base(), 1);
    calls.closeStatus = platform::kRegInvalidHandle;
    std::int32_t i = 0;
    EXPECT_EQ(key.ReadInt(i, 1, "i"), 0);
    EXPECT_EQ(key.WriteInt(3, "i"), 0);
    EXPECT_EQ(key.WriteReal(3, "r"), 0);
}

// The five accessors that stop after a failed raw step: 0, with the key still open
// and still the wrapper's, so that Close or the destructor gives the handle back.
TEST_F(RegKeyTest, AccessorsStoppedByAFailedRawStepLeaveTheKeyOpenUntilCloseOrTheDestructor) {
    Plant("binary", platform::kRegBinary, std::string(4, '\x01'));  // no text: the raw string read fails
    struct Case {
        const char* name;
        bool refuseSet;
        std::function<int(RegKey&)> call;
    };
    std::int32_t a = 1, b = 2, c = 3;
    double x = 1.5, y = 2.5, z = 3.5;
    const Case cases[] = {
        {"WriteString", true, [](RegKey& key) { return key.WriteString("text", "s"); }},
        {"WriteInt", true, [](RegKey& key) { return key.WriteInt(5, "i"); }},
        {"WriteBinary", true, [](RegKey& key) { return key.WriteBinary(RegBlock{1, 2}, "b", "Sub"); }},
        {"ReadInt3", false, [&](RegKey& key) { return key.ReadInt3(a, b, c, "7 8 9", "binary"); }},
        {"ReadReal3", false, [&](RegKey& key) { return key.ReadReal3(x, y, z, "7 8 9", "binary"); }},
    };
    for (const Case& test : cases) {
        for (bool closeFirst : {true, false}) {
            SCOPED_TRACE(std::string(test.name) + (closeFirst ? ", then Close" : ", then the destructor"));
            liveHandles.clear();
            calls.refuseSet = test.refuseSet;
            {
                RegKey key(scratch_.root(), scratch_.base(), 1);
                EXPECT_EQ(test.call(key), 0);
                EXPECT_NE(key.handle(), 0u) << "the key is left open";
                EXPECT_EQ(liveHandles.size(), 1u);
                EXPECT_EQ(liveHandles.count(key.handle()), 1u) << "the open handle is the wrapper's";
                if (closeFirst) {
                    EXPECT_EQ(key.Close(), 1);
                    EXPECT_EQ(key.handle(), 0u);
                    EXPECT_TRUE(liveHandles.empty());
                }
            }
            EXPECT_TRUE(liveHandles.empty()) << "no handle outlives the wrapper";
            calls.refuseSet = false;
        }
    }
    EXPECT_EQ(a * 100 + b * 10 + c, 123) << "ReadInt3 stopped before parsing";
    EXPECT_EQ(x + y + z, 7.5) << "ReadReal3 stopped before parsing";
}

// --- preconditions ---

std::string reportedUnit;
int reportedLine = 0;
void Report(const char* unit, int line) {
    reportedUnit = unit;
    reportedLine = line;
}

// The raw calls as the Windows registry answers them (Wine's measured): name
// lengths, case beyond ASCII, a deleted key, a predefined root, an unknown handle.
TEST_F(RegKeyTest, RawCallsGiveTheWindowsRegistrysAnswers) {
    RegHandle base = 0;
    ASSERT_EQ(real.CreateKeyEx(scratch_.root(), scratch_.base().c_str(), 0, platform::kKeyAllAccess, &base, nullptr), 0);
    const auto setAndQuery = [&](const std::string& name) {
        const long set = real.SetValueEx(base, name.c_str(), platform::kRegSz, reinterpret_cast<const unsigned char*>("x"), 2);
        std::uint32_t size = 0;
        return set != 0 ? set : real.QueryValueEx(base, name.c_str(), nullptr, nullptr, &size);
    };
    const auto createThenOpen = [&](const std::string& made, const std::string& opened) {
        RegHandle h = 0;
        long status = real.CreateKey(base, made.c_str(), &h);
        if (status != 0) return status;
        real.CloseKey(h);
        status = real.OpenKey(base, opened.c_str(), &h);
        if (status == 0) real.CloseKey(h);
        return status;
    };
    const auto throughDeleted = [&](bool create) {
        RegHandle gone = 0;
        RegHandle child = 0;
        real.CreateKey(base, "gone", &gone);
        real.DeleteKey(base, "gone");
        const long status = create ? real.CreateKey(gone, "child", &child) : real.OpenKey(gone, "child", &child);
        real.CloseKey(gone);
        return status;
    };
    const struct {
        const char* what;
        std::function<long()> call;
        long answer;
    } kRows[] = {
        {"a value name of 16,383 characters", [&] { return setAndQuery(std::string(16383, 'v')); }, 0},
        {"a value name of 16,384 characters", [&] { return setAndQuery(std::string(16384, 'v')); }, 87},
        {"a value name of 81 '{'", [&] { return setAndQuery(std::string(81, '{')); }, 0},
        {"a key name of 255 characters", [&] { return createThenOpen(std::string(255, 'k'), std::string(255, 'K')); }, 0},
        {"a key name of 257 characters", [&] { return createThenOpen(std::string(257, 'k'), "k"); }, 87},
        {"0xC4 and 0xE4 name one key", [&] { return createThenOpen("\xC4", "\xE4"); }, 0},
        {"0x9A and 0x8A name one key", [&] { return createThenOpen("\x9A", "\x8A"); }, 0},
        {"0xB5 has no capital in the code page", [&] { return createThenOpen("\xB5", "M"); }, 2},
        {"a key made through a deleted key", [&] { return throughDeleted(true); }, 1018},
        {"a key opened through a deleted key", [&] { return throughDeleted(false); }, 1018},
        {"a predefined root is not deleted", [&] { return real.DeleteKey(scratch_.root(), ""); }, 5},
        {"an unknown parent gives no handle", [&] {
             RegHandle h = 0x1234;
             const long status = real.OpenKey(0x7777770, "x", &h);
             return h == 0 ? status : -1;
         }, 6},
    };
    for (const auto& row : kRows) EXPECT_EQ(row.call(), row.answer) << row.what;
    real.CloseKey(base);
}

TEST_F(RegKeyTest, ABrokenPreconditionIsReportedInDebugBuildsAndNeverCrashes) {
    reportedUnit.clear();
    reportedLine = 0;
    platform::InstallAssertionReporter(Report);
    RegKey key(scratch_.root(), scratch_.base(), 1);
    std::string value = "kept";
    EXPECT_EQ(key.QueryString(value, "x"), 1);  // closed key: the platform refuses, nothing read
    EXPECT_EQ(value, "kept");
    platform::InstallAssertionReporter(nullptr);
#if defined(NDEBUG)
    EXPECT_EQ(reportedUnit, "");
#else
    EXPECT_EQ(reportedUnit, "REGKEY");
    EXPECT_GT(reportedLine, 0);
#endif
}

}  // namespace
}  // namespace kestar
