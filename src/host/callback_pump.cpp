#include "callback_pump.h"

#include "interface_block.h"
#include "platform/debug_trace.h"
#include "platform/system.h"
#include "point_list.h"

namespace kestar {

std::atomic<KestarHostCallback> hostCallback{nullptr};
std::atomic<bool> callbacksRunning{false};
std::atomic<int> stopCallbacks{0};

namespace {

platform::WorkerThread pumpThread = nullptr;

}  // namespace

platform::WorkerThread StartCallbackPump() {
    if (callbacksRunning) return pumpThread;
    if (pumpThread != nullptr) {  // an earlier pump that has ended
        platform::WorkerThreads().Release(pumpThread);
        pumpThread = nullptr;
    }
    // Cleared here, before the thread exists, so that a stop requested at any
    // moment after this call reaches the pump.
    stopCallbacks = 0;
    callbacksRunning = true;
    pumpThread = platform::WorkerThreads().Start(RunCallbackPump, nullptr);
    if (pumpThread == nullptr) callbacksRunning = false;
    return pumpThread;
}

unsigned RunCallbackPump(void* /*parameter*/) {
    platform::TraceText("CallBacks Started\n");
    while (stopCallbacks.load() == 0) {
        platform::TraceText("+");
        CallbackIdle();
        platform::System().Sleep(kPumpPeriodMs);
        if (KestarHostCallback callback = hostCallback.load()) callback(storedInterfaceBlock.load(), &ModulePointList());
    }
    platform::TraceText("\nEnding Callsbacs\n");
    callbacksRunning = false;
    return 0;
}

void CallbackIdle() {}

void RequestCallbackPumpStop() {
    if (callbacksRunning) stopCallbacks = 1;
}

bool WaitForCallbackPumpEnd() {
    if (pumpThread == nullptr) return !callbacksRunning;
    if (!platform::WorkerThreads().Wait(pumpThread, kPumpEndWaitMs)) {
        platform::TraceText("callback pump still running after shut-down's wait\n");
        return false;
    }
    platform::WorkerThreads().Release(pumpThread);
    pumpThread = nullptr;
    return true;
}

}  // namespace kestar
