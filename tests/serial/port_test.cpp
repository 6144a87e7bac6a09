// The port object: defaults, live-port list, fallback port, status texts, the
// system-error mapping, the waits and the port layer's memory.
#include "fakes/fake_tick_clock.h"
#include "platform/message_queue.h"
#include "platform/module_unload.h"
#include "serial_fixture.h"

#include <cstdlib>
#include <cstring>

namespace kestar::serial::testing {

int HeapCounter::allocations = 0;
int HeapCounter::frees = 0;
int HeapCounter::failAllocation = 0;
int HeapCounter::failFrom = 0;

void* HeapCounter::Calloc(std::size_t count, std::size_t size) {
    ++allocations;
    if (allocations == failAllocation || (failFrom != 0 && allocations >= failFrom)) return nullptr;
    return std::calloc(count, size);
}

void HeapCounter::Free(void* block) {
    ++frees;
    std::free(block);
}

std::vector<std::string>& DumpLines() {
    static std::vector<std::string> lines;
    return lines;
}

void CollectDumpLine(const char* line) { DumpLines().push_back(line); }

int LivePortCount() {
    int count = 0;
    for (Port* p = LivePorts(); p != nullptr && count < 1000; p = p->next) ++count;
    return count;
}

bool IsLivePort(const Port* port) {
    for (Port* p = LivePorts(); p != nullptr; p = p->next) {
        if (p == port) return true;
    }
    return false;
}

namespace {

using kestar::testing::FakeTickClock;

// Installed before main, so it sees the registration whichever test runs first.
int unloadRegistrations = 0;
platform::UnloadRoutine registeredRoutine = nullptr;
bool RecordRegistration(platform::UnloadRoutine routine) {
    ++unloadRegistrations;
    registeredRoutine = routine;
    return true;
}
const bool registrarInstalled = (platform::InstallUnloadRegistrar(RecordRegistration), true);

Port* NewDefaultPort() {
    auto* port = static_cast<Port*>(AllocateBlock(sizeof(Port)));
    InitPort(port);
    return port;
}

using PortLayer = SerialTest;

TEST(StatusMessages, EveryTabledCodeHasItsText) {
    EXPECT_STREQ(StatusMessage(-1), "General Error");
    EXPECT_STREQ(StatusMessage(-3), "Port in Use");
    EXPECT_STREQ(StatusMessage(-5), "Out of Memory to Open a Port");
    EXPECT_STREQ(StatusMessage(-6), "Port Has Not Been Initialized");
    EXPECT_STREQ(StatusMessage(-8), "Buffer Empty");
    EXPECT_STREQ(StatusMessage(-9), "Buffer Full");
    EXPECT_STREQ(StatusMessage(-14), "No 8250");
    EXPECT_STREQ(StatusMessage(-24), "Not Supported");
    EXPECT_STREQ(StatusMessage(-25), "Illegal Baud Rate");
    EXPECT_STREQ(StatusMessage(-28), "Illegal Stop Bits");
    EXPECT_STREQ(StatusMessage(-33), "DOS Extender Error");
    EXPECT_STREQ(StatusMessage(-39), "IRQ In Use");
    EXPECT_STREQ(StatusMessage(-41), "NASI Error");
    EXPECT_STREQ(StatusMessage(-42), "Packing Error");
}

TEST(StatusMessages, CodesWithoutTextAreGeneralErrorButMinus75IsUserDefined) {
    for (std::int32_t code : {0, 1, 100, -43, -60, -74, -76, -1000, INT32_MIN, INT32_MAX}) {
        EXPECT_STREQ(StatusMessage(code), "General Error") << code;
    }
    EXPECT_STREQ(StatusMessage(-75), "User-Defined Error");
}

std::uint32_t injectedError = 0;
std::uint32_t InjectedError() { return injectedError; }

TEST(SystemErrorMapping, MapsTheLastErrorValue) {
    platform::SerialOps ops = platform::Serial();
    ops.GetLastError = InjectedError;
    platform::ScopedSerialOps scoped(ops);
    const struct {
        std::int32_t system;
        std::int32_t status;
    } cases[] = {{2, -14},  {3, -14},  {-10, -14}, {5, -3},  {-2, -3}, {-12, -25}, {-11, -27}, {-4, -5},
                 {-1, -2},  {0, -1},   {1, -1},    {4, -1},  {6, -1},  {87, -1},   {-3, -1},   {50, -1}};
    for (const auto& c : cases) {
        injectedError = static_cast<std::uint32_t>(c.system);
        EXPECT_EQ(MapSystemError(), c.status) << "system value " << c.system;
    }
}

TEST_F(PortLayer, DefaultOperationsAnswerNotSupportedAndStoreIt) {
    Port* port = NewDefaultPort();
    char buffer[4] = {};
    EXPECT_EQ(port->ops.GetChar(port), -24);
    port->status = 0;
    EXPECT_EQ(port->ops.Write(port, buffer, 4), -24);
    EXPECT_EQ(port->status, -24);
    port->status = 0;
    EXPECT_EQ(port->ops.SetLine(port, 9600, 'N', 8, 1), -24);
    EXPECT_EQ(port->status, -24);
    port->status = 0;
    EXPECT_EQ(port->ops.Spare(port, 7), -24);
    EXPECT_EQ(port->status, -24);
    EXPECT_EQ(port->ops.SendBreak(port, 10), -24);
    EXPECT_EQ(port->ops.ClearLineErrors(port), -24);
    port->ops.ClearStatus(port);
    EXPECT_EQ(port->status, 0);
}

TEST_F(PortLayer, DefaultDumpSendsTwoLinesTheSecondEmpty) {
    Port* port = NewDefaultPort();
    EXPECT_EQ(port->ops.Dump(port, CollectDumpLine), -24);
    EXPECT_EQ(DumpLines(), (std::vector<std::string>{"Port dump not supported for this driver", ""}));
    EXPECT_EQ(port->status, -24);
    EXPECT_EQ(port->ops.Dump(port, nullptr), -24);  // no output routine: nothing to call
}

TEST_F(PortLayer, InitPortKeepsTheFieldsItDoesNotOwn) {
    Port port{};
    port.driverData = &port;
    port.comIndex = 4;
    port.status = -9;
    port.driverTag = 15;
    port.transferCount = 77;
    InitPort(&port);
    EXPECT_EQ(port.driverData, &port);
    EXPECT_EQ(port.comIndex, 4);
    EXPECT_EQ(port.status, -9);
    EXPECT_EQ(port.driverTag, 15);
    EXPECT_EQ(port.transferCount, 77u);
    ASSERT_EQ(LivePorts(), &port);
    // Taken out again with a heap that frees nothing: this record is on the stack.
    platform::ScopedMemoryOps noFree(platform::MemoryOps{platform::MemoryDefaults().calloc, [](void*) {}});
    ReleasePort(&port);
    EXPECT_EQ(LivePorts(), nullptr);
}

TEST_F(PortLayer, CloseAllPortsIsRegisteredForUnloadOnce) {
    NewDefaultPort();
    NewDefaultPort();
    FallbackPort();
    EXPECT_EQ(unloadRegistrations, 1);
    EXPECT_EQ(registeredRoutine, &CloseAllPorts);
}

TEST_F(PortLayer, LivePortsAreListedNewestFirstAndCloseUnlinksTheMiddleOne) {
    Port* first = NewDefaultPort();
    Port* second = NewDefaultPort();
    Port* third = NewDefaultPort();
    ASSERT_EQ(LivePorts(), third);
    EXPECT_EQ(third->next, second);
    EXPECT_EQ(second->next, first);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(second->ops.Close(second), 0);
    EXPECT_EQ(LivePorts(), third);
    EXPECT_EQ(third->next, first);
    EXPECT_EQ(LivePortCount(), 2);
}

TEST_F(PortLayer, ReleasePortOfAnUnlistedRecordFreesItAndLeavesTheList) {
    ScopedHeapCounter heap;
    Port* listed = NewDefaultPort();
    auto* unlisted = static_cast<Port*>(AllocateBlock(sizeof(Port)));
    ReleasePort(unlisted);
    EXPECT_EQ(HeapCounter::frees, 1);
    EXPECT_EQ(LivePorts(), listed);
    EXPECT_EQ(listed->next, nullptr);
}

TEST_F(PortLayer, CloseAllPortsClosesEveryPortAndReturnsOnAnEmptyList) {
    CloseAllPorts();  // empty list: nothing happens
    ScopedHeapCounter heap;
    NewDefaultPort();
    NewDefaultPort();
    CloseAllPorts();
    EXPECT_EQ(LivePorts(), nullptr);
    EXPECT_EQ(HeapCounter::frees, 2);
}

int closesSeen = 0;
std::int32_t CloseThatForgetsToUnlink(Port*) {
    ++closesSeen;
    return 0;
}

TEST_F(PortLayer, CloseAllPortsEndsEvenWhenAClosePortStaysListed) {
    Port stuck{};
    InitPort(&stuck);
    stuck.ops.Close = CloseThatForgetsToUnlink;
    closesSeen = 0;
    CloseAllPorts();
    EXPECT_EQ(closesSeen, 1);
    EXPECT_EQ(LivePorts(), nullptr);
}

TEST_F(PortLayer, FallbackPortIsListedOnceAndNeverFreed) {
    ScopedHeapCounter heap;
    Port* a = FallbackPort();
    Port* b = FallbackPort();
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->status, -5);
    EXPECT_EQ(a->comIndex, -1);
    EXPECT_EQ(a->driverTag, -1);
    EXPECT_EQ(a->driverData, nullptr);
    EXPECT_EQ(LivePortCount(), 1);
    EXPECT_NE(a->next, a);
    EXPECT_EQ(a->ops.GetChar(a), -24);
    EXPECT_EQ(a->ops.Close(a), 0);
    EXPECT_EQ(LivePorts(), nullptr);
    EXPECT_EQ(HeapCounter::frees, 0);
    // Handed out again after its Close: back in the list, once, with status -5 again.
    Port* c = FallbackPort();
    EXPECT_EQ(c->status, -5);
    EXPECT_EQ(LivePortCount(), 1);
    CloseAllPorts();
    EXPECT_EQ(HeapCounter::frees, 0);
}

TEST(PortMemory, PlainAllocationIsZeroFilled) {
    auto* block = static_cast<unsigned char*>(AllocateBlock(64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], 0) << i;
    FreeBlock(block);
}

TEST(PortMemory, IndexGuardedRoutinesRefuseIndicesOutsideTheTable) {
    ScopedHeapCounter heap;
    EXPECT_EQ(AllocatePortBlock(-1, 16), nullptr);
    EXPECT_EQ(AllocatePortBlock(35, 16), nullptr);
    EXPECT_EQ(HeapCounter::allocations, 0);
    auto* first = static_cast<unsigned char*>(AllocatePortBlock(0, 16));
    auto* last = static_cast<unsigned char*>(AllocatePortBlock(34, 16));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(first[15] | last[0], 0);
    FreePortBlock(35, first);  // ignored: still ours
    FreePortBlockIfAny(-1, last);
    EXPECT_EQ(HeapCounter::frees, 0);
    FreePortBlockIfAny(3, nullptr);
    EXPECT_EQ(HeapCounter::frees, 0);
    FreePortBlock(3, nullptr);  // the plain form hands even a null block on
    EXPECT_EQ(HeapCounter::frees, 1);
    FreePortBlock(0, first);
    FreePortBlockIfAny(34, last);
    EXPECT_EQ(HeapCounter::frees, 3);
}

// --- Waiting ----------------------------------------------------------------

int idleCalls = 0;
int endOnCall = 0;
std::int32_t CountingIdle(Port*) {
    ++idleCalls;
    return idleCalls == endOnCall ? kUserAbort : 0;
}

class Waits : public SerialTest {
protected:
    void SetUp() override {
        SerialTest::SetUp();
        idleCalls = 0;
        endOnCall = 0;
        SetIdleRoutine(CountingIdle);
    }
};

TEST_F(Waits, DelayMsEndsWhenTheIdleRoutineReturnsNegative) {
    FakeTickClock clock(1000, 1);
    endOnCall = 3;
    EXPECT_EQ(DelayMs(nullptr, 500), -16);
    EXPECT_EQ(idleCalls, 3);
}

TEST_F(Waits, DelayMsRunsItsFullDurationWithThePump) {
    FakeTickClock clock(1000, 10);
    SetIdleRoutine(PumpMessages);
    EXPECT_EQ(DelayMs(nullptr, 250), 0);
    EXPECT_GE(clock.now() - 10, 1250u);
}

TEST_F(Waits, ZeroOrNegativeDurationsNeverRunTheIdleRoutine) {
    FakeTickClock clock(1000, 1);
    DelayTicks(0);
    DelayTicks(-5);
    EXPECT_EQ(DelayMs(nullptr, 0), 0);
    EXPECT_EQ(DelayMs(nullptr, -100), 0);
    EXPECT_EQ(idleCalls, 0);
}

TEST_F(Waits, DelayTicksWaitsFiftyFiveMillisecondsATickAndIgnoresTheIdleResult) {
    FakeTickClock clock(0, 5);
    endOnCall = 1;
    DelayTicks(2);
    // Readings 5, 10, ..., 105 are inside the 110 ms; the reading of 110 ends it.
    EXPECT_EQ(idleCalls, 21);
}

TEST_F(Waits, TickCountWrapNeitherEndsTheWaitEarlyNorMakesItEndless) {
    FakeTickClock clock(0xFFFFFF00u, 16);
    EXPECT_EQ(DelayMs(nullptr, 1000), 0);
    // Elapsed 16, 32, ..., 992 are inside the 1000 ms, across the wrap as before it.
    EXPECT_EQ(idleCalls, 62);
    idleCalls = 0;
    FakeTickClock nearWrap(0xFFFFFFF0u, 1);
    DelayTicks(1);
    EXPECT_EQ(idleCalls, 54);
}

std::vector<std::uint32_t> queuedMessages;
std::vector<std::string> pumpLog;
int PeekQueued(platform::Msg* msg, void* hwnd, std::uint32_t min, std::uint32_t max, std::uint32_t remove) {
    pumpLog.push_back("peek " + std::to_string(remove) + (hwnd || min || max ? " filtered" : ""));
    if (queuedMessages.empty()) return 0;
    msg->message = queuedMessages.front();
    queuedMessages.erase(queuedMessages.begin());
    return 1;
}
int TranslateLogged(const platform::Msg* msg) {
    pumpLog.push_back("translate " + std::to_string(msg->message));
    return 1;
}
std::intptr_t DispatchLogged(const platform::Msg* msg) {
    pumpLog.push_back("dispatch " + std::to_string(msg->message));
    return 0;
}

TEST(MessagePump, DispatchesEveryWaitingMessageOfAnyWindowThenReturnsZero) {
    platform::ScopedMessageOps ops(platform::MessageOps{PeekQueued, TranslateLogged, DispatchLogged});
    queuedMessages = {0x0113, 0x000F};
    pumpLog.clear();
    EXPECT_EQ(PumpMessages(nullptr), 0);
    EXPECT_EQ(pumpLog, (std::vector<std::string>{"peek 1", "translate 275", "dispatch 275", "peek 1",
                                                 "translate 15", "dispatch 15", "peek 1"}));
}

TEST(MessagePump, IsTheIdleRoutineUntilReplacedAndNullRestoresIt) {
    EXPECT_EQ(CurrentIdleRoutine(), &PumpMessages);
    SetIdleRoutine(CountingIdle);
    EXPECT_EQ(CurrentIdleRoutine(), &CountingIdle);
    SetIdleRoutine(nullptr);
    EXPECT_EQ(CurrentIdleRoutine(), &PumpMessages);
}

}  // namespace
}  // namespace kestar::serial::testing
