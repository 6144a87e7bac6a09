// The callback pump: a worker thread at the lowest priority that calls the host's
// callback with the stored interface block and the point list every 100 ms.
#pragma once

#include "kestar.h"
#include "platform/worker_thread.h"

#include <atomic>
#include <cstdint>

namespace kestar {

constexpr std::uint32_t kPumpPeriodMs = 100;
// How long shut-down waits for a pump whose callback is still running.
constexpr std::uint32_t kPumpEndWaitMs = 2000;

// Stored by start-up; null until the first InitializeCommunications. Never cleared.
// Atomic, as the stored interface block is: the pump reads it on its own thread
// while a later start-up stores the next one.
extern std::atomic<KestarHostCallback> hostCallback;

// True from StartCallbackPump until the pump's loop has ended.
extern std::atomic<bool> callbacksRunning;
// Non-zero asks the pump to stop; read by the pump once per cycle.
extern std::atomic<int> stopCallbacks;

// Starts the pump unless it runs already; returns its thread (nullptr when the
// thread cannot be started).
platform::WorkerThread StartCallbackPump();

// The pump's thread routine; returns 0 when its loop ends.
unsigned RunCallbackPump(void* parameter);

// Called once per cycle; does nothing.
void CallbackIdle();

// Shut-down's part, before its fixed wait: ask a running pump to stop.
void RequestCallbackPumpStop();

// Shut-down's part, after its fixed wait: wait (at most kPumpEndWaitMs) until
// the pump has ended, so that no callback runs once shut-down has returned.
// False when the pump was still running at the end of the wait.
bool WaitForCallbackPumpEnd();

}  // namespace kestar
