// The point list's five operations called the way code from the platform's own C++
// compiler calls a virtual member function, by a caller written here in assembly,
// independent of the declarations in kestar.h:
//   32-bit Windows: the object in ECX, the argument pushed, the callee removes it;
//   Linux i386: the object pushed as the first argument, the caller removes both.
#include "host/point_list.h"
#include "platform/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kestar {
namespace {

struct SlotCall {
    std::uint32_t result;    // EAX after the call
    std::int32_t leftOver;   // bytes of arguments still on the stack when the callee returned
};

#if defined(__i386__)

using Slot = const void*;

template <typename Function>
Slot SlotOf(Function function) {
    Slot slot;
    static_assert(sizeof function == sizeof slot, "a slot is one code address");
    std::memcpy(&slot, &function, sizeof slot);
    return slot;
}

// The stack is aligned to 16 bytes at the call, as both platforms' compilers keep it;
// EDI marks where the arguments end, and EDX gives what the callee left of them.
#define KESTAR_SLOT_CALL(pass) \
    "movl %%esp, %%esi\n\t" "andl $-16, %%esp\n\t" pass "call *%[slot]\n\t" \
    "movl %%esp, %%edx\n\t" "subl %%edi, %%edx\n\t" "movl %%esi, %%esp\n\t"
#if defined(_WIN32)
constexpr std::int32_t kLeftByMemberCall0 = 0;
constexpr std::int32_t kLeftByMemberCall1 = 0;
#define KESTAR_PASS_OBJECT "movl %%esp, %%edi\n\t" "movl %[object], %%ecx\n\t"
#define KESTAR_PASS_OBJECT_AND_ARGUMENT \
    "subl $12, %%esp\n\t" "movl %%esp, %%edi\n\t" "pushl %[argument]\n\t" "movl %[object], %%ecx\n\t"
#else
constexpr std::int32_t kLeftByMemberCall0 = 4;
constexpr std::int32_t kLeftByMemberCall1 = 8;
#define KESTAR_PASS_OBJECT "subl $12, %%esp\n\t" "movl %%esp, %%edi\n\t" "pushl %[object]\n\t"
#define KESTAR_PASS_OBJECT_AND_ARGUMENT \
    "subl $8, %%esp\n\t" "movl %%esp, %%edi\n\t" "pushl %[argument]\n\t" "pushl %[object]\n\t"
#endif

SlotCall CallSlot(Slot slot, const void* object) {
    SlotCall call;
    asm volatile(KESTAR_SLOT_CALL(KESTAR_PASS_OBJECT)
                 : "=a"(call.result), "=d"(call.leftOver)
                 : [slot] "r"(slot), [object] "r"(object)
                 : "ecx", "esi", "edi", "memory", "cc");
    call.leftOver = -call.leftOver;
    return call;
}

SlotCall CallSlot(Slot slot, const void* object, std::uint32_t argument) {
    SlotCall call;
    asm volatile(KESTAR_SLOT_CALL(KESTAR_PASS_OBJECT_AND_ARGUMENT)
                 : "=a"(call.result), "=d"(call.leftOver)
                 : [slot] "r"(slot), [object] "r"(object), [argument] "r"(argument)
                 : "ecx", "esi", "edi", "memory", "cc");
    call.leftOver = -call.leftOver;
    return call;
}

std::uint32_t Word(const void* pointer) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer)); }

PointRecord Record(unsigned char fill) {
    PointRecord record;
    std::memset(record.bytes, fill, sizeof record.bytes);
    return record;
}

// Blocks given back through the module's heap, and whether the list itself ever was.
std::vector<void*> freed;
platform::MemoryOps realMemory;
void RecordingFree(void* block) {
    freed.push_back(block);
    realMemory.free(block);
}

class PointListSlots : public ::testing::Test {
protected:
    PointList list{};
    void SetUp() override {
        ConstructPointList(list, kPointListBlockSize);
        freed.clear();
    }
    void TearDown() override { DestroyPointList(list); }
    const PointListOperations& table() const { return *list.operations; }
};

TEST_F(PointListSlots, ClassQueryAnswersTheBaseClassRecord) {
    const SlotCall call = CallSlot(SlotOf(table().classQuery), &list);
    EXPECT_EQ(call.leftOver, kLeftByMemberCall0);
    const auto* record = reinterpret_cast<const KestarClassRecord*>(static_cast<std::uintptr_t>(call.result));
    ASSERT_EQ(record, &SerializableObjectClass());
    EXPECT_STREQ(record->name, "SerializableObject");
    EXPECT_EQ(record->objectSize, 4) << "a base object is its reference to the table";
}

TEST_F(PointListSlots, DeletingDestructorEmptiesTheListButNeverFreesIt) {
    for (int i = 0; i < 11; ++i) AppendPoint(list, Record(static_cast<unsigned char>(i)));
    realMemory = platform::Memory();
    platform::ScopedMemoryOps recording(platform::MemoryOps{realMemory.calloc, RecordingFree});
    const SlotCall call = CallSlot(SlotOf(table().destroy), &list, 1u);  // flags: delete the object
    EXPECT_EQ(call.leftOver, kLeftByMemberCall1);
    EXPECT_EQ(call.result, Word(&list)) << "gives back the object";
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.blockChain, nullptr);
    EXPECT_EQ(freed.size(), 2u) << "the two node blocks, and nothing else";
    for (void* block : freed) EXPECT_NE(block, static_cast<void*>(&list));
    EXPECT_EQ(list.blockSize, 10);
    ASSERT_NE(AppendPoint(list, Record(7)), nullptr) << "the list stays usable";
    EXPECT_EQ(list.count, 1);
}

TEST_F(PointListSlots, DeletingTheModulesOwnListLeavesItInPlace) {
    PointList& own = ModulePointList();
    ASSERT_NE(AppendPoint(own, Record(3)), nullptr);
    const SlotCall call = CallSlot(SlotOf(own.operations->destroy), &own, 1u);
    EXPECT_EQ(call.leftOver, kLeftByMemberCall1);
    EXPECT_EQ(own.count, 0);
    EXPECT_TRUE(CheckPointList(own));
    ASSERT_NE(AppendPoint(own, Record(4)), nullptr);
    RemoveAllPoints(own);
}

TEST_F(PointListSlots, SerializeStoresIntoAStoringArchiveAndAppendsFromALoadingOne) {
    AppendPoint(list, Record(0x11));
    AppendPoint(list, Record(0x22));
    PointArchive storing = PointArchive::ForStoring();
    SlotCall call = CallSlot(SlotOf(table().serialize), &list, Word(&storing));
    EXPECT_EQ(call.leftOver, kLeftByMemberCall1);
    EXPECT_EQ(call.result, 1u);
    ASSERT_EQ(storing.bytes().size(), 2u + 48u);
    EXPECT_EQ(storing.bytes()[0], 2);
    EXPECT_EQ(storing.bytes()[2], 0x11);
    EXPECT_EQ(storing.bytes()[2 + 24], 0x22);

    PointArchive loading = PointArchive::ForLoading(storing.bytes().data(), storing.bytes().size());
    call = CallSlot(SlotOf(table().serialize), &list, Word(&loading));
    EXPECT_EQ(call.result, 1u);
    ASSERT_EQ(list.count, 4);
    EXPECT_EQ(list.tail->record.bytes[0], 0x22);

    const unsigned char cut[] = {3, 0, 1, 2};
    PointArchive broken = PointArchive::ForLoading(cut, sizeof cut);
    call = CallSlot(SlotOf(table().serialize), &list, Word(&broken));
    EXPECT_EQ(call.result & 0xFF, 0u) << "a failed load answers 0";
}

TEST_F(PointListSlots, SelfCheckAnswersForTheObjectInItsRegister) {
    AppendPoint(list, Record(1));
    PointList broken = list;
    broken.count = 5;
    SlotCall call = CallSlot(SlotOf(table().selfCheck), &list);
    EXPECT_EQ(call.leftOver, kLeftByMemberCall0);
    EXPECT_EQ(call.result & 0xFF, 1u);
    call = CallSlot(SlotOf(table().selfCheck), &broken);
    EXPECT_EQ(call.result & 0xFF, 0u);
}

TEST_F(PointListSlots, DumpWritesIntoTheContextItIsGiven) {
    AppendPoint(list, Record(1));
    AppendPoint(list, Record(2));
    DumpContext context(1);
    const SlotCall call = CallSlot(SlotOf(table().dump), &list, Word(&context));
    EXPECT_EQ(call.leftOver, kLeftByMemberCall1);
    const std::string& text = context.text();
    const std::size_t baseEnd = text.find('\n');
    ASSERT_NE(baseEnd, std::string::npos);
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(&list));
    EXPECT_NE(text.substr(0, baseEnd).find(address), std::string::npos) << "the base line names this object: " << text;
    EXPECT_EQ(text.substr(baseEnd + 1), "with 2 elements\n\n\n");
}

#endif  // __i386__

}  // namespace
}  // namespace kestar
