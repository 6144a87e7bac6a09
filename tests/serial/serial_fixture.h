// Shared set-up of the serial tests: a simulated UART, a fake clock where wanted,
// counted heap hooks, and a live-port list that is empty before and after each test.
#pragma once

#include "fakes/fake_uart.h"
#include "platform/memory.h"
#include "serial/com_driver.h"
#include "serial/port.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestar::serial::testing {

using kestar::testing::FakeComDevice;
using kestar::testing::FakeUart;

// Counts the port layer's allocations and frees; can refuse the n-th allocation.
struct HeapCounter {
    static int allocations;
    static int frees;
    static int failAllocation;  // 1-based number of the allocation to refuse; 0 none
    static int failFrom;        // 1-based number of the first of all allocations to refuse; 0 none
    static void* Calloc(std::size_t count, std::size_t size);
    static void Free(void* block);
    static void Reset() { allocations = frees = failAllocation = failFrom = 0; }
};

class ScopedHeapCounter {
public:
    ScopedHeapCounter() : ops_(platform::MemoryOps{HeapCounter::Calloc, HeapCounter::Free}) { HeapCounter::Reset(); }

private:
    platform::ScopedMemoryOps ops_;
};

// Lines sent to a Dump output routine.
std::vector<std::string>& DumpLines();
void CollectDumpLine(const char* line);

int LivePortCount();
bool IsLivePort(const Port* port);

class SerialTest : public ::testing::Test {
protected:
    static void FailTheTest(const char* what) { ADD_FAILURE() << what; }
    void SetUp() override {
        uart.reportFailure = FailTheTest;
        ASSERT_EQ(LivePorts(), nullptr) << "an earlier test left ports open";
        DumpLines().clear();
    }
    void TearDown() override {
        CloseAllPorts();
        SetIdleRoutine(nullptr);
        SetDefaultBufferSizes(1050, 1050);
    }

    // COM1 present and opened at 9600 8N1.
    Port* OpenCom1() {
        uart.Device(1);
        Port* port = CreateComPort(0, 9600, 'N', 8, 1);
        EXPECT_EQ(port->status, kStatusOk);
        return port;
    }
    ComDriverData& Data(Port* port) { return *static_cast<ComDriverData*>(port->driverData); }

    FakeUart uart;
};

}  // namespace kestar::serial::testing
