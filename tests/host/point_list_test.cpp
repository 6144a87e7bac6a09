// The point list: node blocks, the archive's count encoding, loading, dump and invariants.
#include "host/point_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kestar {
namespace {

PointRecord Record(unsigned char fill) {
    PointRecord record;
    for (int i = 0; i < KESTAR_POINT_RECORD_SIZE; ++i) record.bytes[i] = static_cast<unsigned char>(fill + i);
    return record;
}

int BlockCount(const PointList& list) {
    int blocks = 0;
    for (const PointBlock* block = list.blockChain; block != nullptr; block = *reinterpret_cast<PointBlock* const*>(block))
        ++blocks;
    return blocks;
}

class PointListTest : public ::testing::Test {
protected:
    PointList list{};
    void SetUp() override { ConstructPointList(list, kPointListBlockSize); }
    void TearDown() override { DestroyPointList(list); }
};

TEST_F(PointListTest, StartsEmptyAndValid) {
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.blockSize, 10);
    EXPECT_TRUE(CheckPointList(list));
}

TEST_F(PointListTest, NodesComeFromBlocksAndTheEleventhAppendAllocatesASecond) {
    std::vector<PointNode*> nodes;
    for (int i = 0; i < 10; ++i) nodes.push_back(AppendPoint(list, Record(static_cast<unsigned char>(i))));
    EXPECT_EQ(BlockCount(list), 1);
    for (int i = 1; i < 10; ++i) EXPECT_EQ(nodes[i], nodes[i - 1] + 1) << "handed out in block order";
    EXPECT_EQ(list.freeChain, nullptr);
    nodes.push_back(AppendPoint(list, Record(10)));
    EXPECT_EQ(BlockCount(list), 2);
    EXPECT_NE(list.freeChain, nullptr);
    EXPECT_EQ(list.count, 11);
    EXPECT_EQ(list.head, nodes.front());
    EXPECT_EQ(list.tail, nodes.back());
    EXPECT_EQ(nodes.back()->previous, nodes[9]);
    const PointRecord expected = Record(10);
    EXPECT_EQ(std::memcmp(&nodes.back()->record, &expected, sizeof(PointRecord)), 0);
    EXPECT_TRUE(CheckPointList(list));
}

TEST_F(PointListTest, RemoveAllGivesBackEveryBlock) {
    for (int i = 0; i < 25; ++i) AppendPoint(list, Record(1));
    EXPECT_EQ(BlockCount(list), 3);
    RemoveAllPoints(list);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.freeChain, nullptr);
    EXPECT_EQ(list.blockChain, nullptr);
    EXPECT_TRUE(CheckPointList(list));
    AppendPoint(list, Record(2));
    EXPECT_EQ(list.count, 1);
}

TEST_F(PointListTest, SavingAnEmptyListWritesTheTwoByteCountOnly) {
    PointArchive archive = PointArchive::ForStoring();
    ASSERT_TRUE(list.operations->serialize(&list, &archive));
    EXPECT_EQ(archive.bytes(), (std::vector<unsigned char>{0, 0}));
    PointArchive back = PointArchive::ForLoading(archive.bytes().data(), archive.bytes().size());
    EXPECT_TRUE(LoadPointList(list, back));
    EXPECT_EQ(list.count, 0);
}

TEST_F(PointListTest, SavingThreeRecordsWritesCountThenRecordsInOrder) {
    for (unsigned char fill : {10, 40, 70}) AppendPoint(list, Record(fill));
    PointArchive archive = PointArchive::ForStoring();
    SavePointList(list, archive);
    ASSERT_EQ(archive.bytes().size(), 2u + 72u);
    EXPECT_EQ(archive.bytes()[0], 3);
    EXPECT_EQ(archive.bytes()[1], 0);
    const PointRecord first = Record(10), last = Record(70);
    EXPECT_EQ(std::memcmp(archive.bytes().data() + 2, first.bytes, 24), 0);
    EXPECT_EQ(std::memcmp(archive.bytes().data() + 2 + 48, last.bytes, 24), 0);
}

TEST_F(PointListTest, LoadingAppendsAfterTheRecordsAlreadyThere) {
    AppendPoint(list, Record(1));
    AppendPoint(list, Record(2));
    PointArchive archive = PointArchive::ForStoring();
    SavePointList(list, archive);
    PointArchive back = PointArchive::ForLoading(archive.bytes().data(), archive.bytes().size());
    ASSERT_TRUE(list.operations->serialize(&list, &back));
    ASSERT_EQ(list.count, 4);
    EXPECT_EQ(list.tail->record.bytes[0], 2);
    EXPECT_EQ(list.tail->previous->record.bytes[0], 1);
    EXPECT_TRUE(CheckPointList(list));
}

TEST_F(PointListTest, CountsFromFFFFOnAreWrittenLong) {
    PointArchive archive = PointArchive::ForStoring();
    archive.WriteCount(65534);
    archive.WriteCount(65535);
    archive.WriteCount(70000);
    EXPECT_EQ(archive.bytes(), (std::vector<unsigned char>{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF,
                                                            0xFF, 0x70, 0x11, 0x01, 0x00}));
    PointArchive back = PointArchive::ForLoading(archive.bytes().data(), archive.bytes().size());
    std::uint32_t count = 0;
    ASSERT_TRUE(back.ReadCount(count));
    EXPECT_EQ(count, 65534u);
    ASSERT_TRUE(back.ReadCount(count));
    EXPECT_EQ(count, 65535u);
    ASSERT_TRUE(back.ReadCount(count));
    EXPECT_EQ(count, 70000u);
}

TEST_F(PointListTest, TruncatedArchiveKeepsTheWholeRecordsAndFails) {
    std::vector<unsigned char> bytes = {5, 0};
    for (unsigned char fill : {1, 2}) {
        const PointRecord record = Record(fill);
        bytes.insert(bytes.end(), record.bytes, record.bytes + 24);
    }
    bytes.insert(bytes.end(), 10, 0xEE);  // a third record cut short
    PointArchive archive = PointArchive::ForLoading(bytes.data(), bytes.size());
    EXPECT_FALSE(LoadPointList(list, archive));
    EXPECT_EQ(list.count, 2);
    EXPECT_TRUE(CheckPointList(list));
}

TEST_F(PointListTest, HugeCountWithoutBytesAllocatesNothing) {
    const unsigned char bytes[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    PointArchive archive = PointArchive::ForLoading(bytes, sizeof bytes);
    EXPECT_FALSE(LoadPointList(list, archive));
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.blockChain, nullptr);
    const unsigned char cut[] = {0xFF, 0xFF, 0x01};
    PointArchive shortCount = PointArchive::ForLoading(cut, sizeof cut);
    EXPECT_FALSE(LoadPointList(list, shortCount));
}

TEST_F(PointListTest, DumpShowsTheCountAndALineBreakPerRecordAtDepthOne) {
    AppendPoint(list, Record(1));
    AppendPoint(list, Record(2));
    DumpContext shallow(0);
    list.operations->dump(&list, &shallow);
    const std::string base = shallow.text().substr(0, shallow.text().find('\n') + 1);
    EXPECT_EQ(base.rfind("a SerializableObject at $", 0), 0u) << "the base's own line, with the base's class name";
    EXPECT_EQ(shallow.text().substr(base.size()), "with 2 elements\n");
    DumpContext deep(1);
    DumpPointList(list, deep);
    EXPECT_EQ(deep.text().substr(base.size()), "with 2 elements\n\n\n");
}

TEST_F(PointListTest, SelfCheckCatchesBrokenInvariants) {
    AppendPoint(list, Record(1));
    AppendPoint(list, Record(2));
    ASSERT_TRUE(list.operations->selfCheck(&list));
    PointList broken = list;
    broken.count = 0;
    EXPECT_FALSE(CheckPointList(broken));
    broken = list;
    broken.tail = nullptr;
    EXPECT_FALSE(CheckPointList(broken));
    broken = list;
    broken.blockSize = 0;
    EXPECT_FALSE(CheckPointList(broken));
    broken = list;
    broken.count = 3;
    EXPECT_FALSE(CheckPointList(broken));
}

TEST(ModulePointList, IsBuiltEmptyWithBlockSizeTen) {
    const PointList& list = ModulePointList();
    EXPECT_EQ(list.blockSize, 10);
    EXPECT_EQ(list.count, 0);
    EXPECT_TRUE(CheckPointList(list));
    EXPECT_NE(list.operations, nullptr);
}

}  // namespace
}  // namespace kestar
