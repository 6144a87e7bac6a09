// The callback pump: its cycle, its stop request and its end.
#include "host/callback_pump.h"
#include "host/interface_block.h"
#include "host/point_list.h"
#include "platform/system.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace kestar::testing {
namespace {

std::atomic<int> callbackCalls{0};
std::atomic<InterfaceBlock*> blockSeen{nullptr};
std::atomic<PointList*> listSeen{nullptr};

int KESTAR_CALL CountingCallback(InterfaceBlock* block, PointList* list) {
    blockSeen = block;
    listSeen = list;
    ++callbackCalls;
    return 1;
}

// The pump's 100 ms sleep shortened to 5 ms so the tests run quickly.
void ShortSleep(std::uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

bool WaitUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 2000 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
}

class CallbackPump : public ::testing::Test {
protected:
    HostRecords records;
    ScopedStoredBlock stored{&records.block()};
    platform::SystemOps fast = [] {
        platform::SystemOps ops = platform::System();
        ops.Sleep = ShortSleep;
        return ops;
    }();
    platform::ScopedSystemOps clock{fast};
    ScopedTraceCapture trace;

    void SetUp() override {
        callbackCalls = 0;
        hostCallback = CountingCallback;
    }
    void TearDown() override {
        RequestCallbackPumpStop();
        WaitForCallbackPumpEnd();
        hostCallback = nullptr;
    }
};

TEST_F(CallbackPump, CallsTheHostWithTheStoredBlockAndThePointList) {
    ASSERT_NE(StartCallbackPump(), nullptr);
    EXPECT_TRUE(callbacksRunning);
    ASSERT_TRUE(WaitUntil([] { return callbackCalls >= 3; }));
    EXPECT_EQ(blockSeen.load(), &records.block());
    EXPECT_EQ(listSeen.load(), &ModulePointList());
}

TEST_F(CallbackPump, StopsAfterAtMostOneMoreCallbackAndSaysSo) {
    ASSERT_NE(StartCallbackPump(), nullptr);
    ASSERT_TRUE(WaitUntil([] { return callbackCalls >= 2; }));
    RequestCallbackPumpStop();
    const int atStop = callbackCalls;
    ASSERT_TRUE(WaitForCallbackPumpEnd());
    EXPECT_LE(callbackCalls - atStop, 1);
    EXPECT_FALSE(callbacksRunning);
    const std::string& text = trace.text();
    EXPECT_EQ(text.rfind("CallBacks Started\n+", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 18), "\nEnding Callsbacs\n");
    const int afterEnd = callbackCalls;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(callbackCalls, afterEnd) << "no callback once the pump has ended";
}

// A stop requested after the start but before the thread's first instruction.
platform::WorkerRoutine heldRoutine = nullptr;
platform::WorkerThread HoldStart(platform::WorkerRoutine routine, void*) {
    heldRoutine = routine;
    return reinterpret_cast<platform::WorkerThread>(1);
}
bool HeldWait(platform::WorkerThread, std::uint32_t) { return true; }
void HeldRelease(platform::WorkerThread) {}

TEST_F(CallbackPump, StopBeforeTheThreadBeginsIsNotLost) {
    platform::WorkerThreadOps saved = platform::WorkerThreads();
    platform::WorkerThreads() = platform::WorkerThreadOps{HoldStart, HeldWait, HeldRelease};
    ASSERT_NE(StartCallbackPump(), nullptr);
    RequestCallbackPumpStop();
    std::thread late([] { heldRoutine(nullptr); });
    std::thread guard([] {  // ends a pump that lost the request, so the test fails instead of hanging
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stopCallbacks = 1;
    });
    late.join();
    guard.join();
    EXPECT_EQ(callbackCalls, 0);
    EXPECT_FALSE(callbacksRunning);
    WaitForCallbackPumpEnd();
    platform::WorkerThreads() = saved;
}

TEST_F(CallbackPump, NeverStartedPumpNeedsNoStop) {
    stopCallbacks = 0;
    RequestCallbackPumpStop();
    EXPECT_EQ(stopCallbacks, 0) << "no stop request without a running pump";
    EXPECT_TRUE(WaitForCallbackPumpEnd());
}

TEST_F(CallbackPump, StartingTwiceRunsOnePumpAndItCanStartAgainAfterItsEnd) {
    platform::WorkerThread first = StartCallbackPump();
    EXPECT_EQ(StartCallbackPump(), first);
    RequestCallbackPumpStop();
    ASSERT_TRUE(WaitForCallbackPumpEnd());
    callbackCalls = 0;
    ASSERT_NE(StartCallbackPump(), nullptr);
    ASSERT_TRUE(WaitUntil([] { return callbackCalls >= 1; }));
}

// A second start-up stores its block and callback while the pump runs, as the entry
// point does; the pump takes both over (the thread sanitizer build checks the handing over).
std::atomic<InterfaceBlock*> secondSeen{nullptr};
int KESTAR_CALL SecondCallback(InterfaceBlock* block, PointList*) {
    secondSeen = block;
    return 1;
}

TEST_F(CallbackPump, AStartUpWhileThePumpRunsHandsItTheNewBlockAndCallback) {
    ASSERT_NE(StartCallbackPump(), nullptr);
    ASSERT_TRUE(WaitUntil([] { return callbackCalls >= 1; }));
    HostRecords second;
    storedInterfaceBlock = &second.block();
    hostCallback = SecondCallback;
    ASSERT_TRUE(WaitUntil([&] { return secondSeen.load() == &second.block(); }));
    RequestCallbackPumpStop();
    ASSERT_TRUE(WaitForCallbackPumpEnd());
}

}  // namespace
}  // namespace kestar::testing
