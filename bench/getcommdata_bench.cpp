// GetCommData(C_READ_COORDS) with an in-process arm that returns at once, beside a
// baseline that makes the same arm call and copies the same fields by hand.
#include "host/interface_block.h"
#include "platform/arm_library.h"
#include "platform/debug_trace.h"
#include "support/heap/allocation_count.h"
#include "support/test_support.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

int KESTAR_CALL QuickLeggeQuota(double* reading, int* status) {
    reading[0] = 1.0;
    reading[1] = 2.0;
    reading[2] = 3.0;
    reading[12] = 0.5;
    reading[13] = 0.25;
    reading[14] = 15.0;
    *status = 0;
    return 1;
}

kestar::platform::ArmLibrary QuickArm() {
    kestar::platform::ArmLibrary arm{};
    arm.LeggeQuota = QuickLeggeQuota;
    return arm;
}

std::FILE* devNull = nullptr;
void DiscardTrace(const char* text) { std::fputs(text, devNull); }

void BM_GetCommData(benchmark::State& state, bool traceOn) {
    kestar::testing::HostRecords records;
    kestar::storedInterfaceBlock = &records.block();
    auto arm = QuickArm();
    kestar::platform::InstallArmLibrary(&arm);
    if (traceOn) {
        devNull = std::fopen("/dev/null", "w");
        kestar::platform::InstallTraceWriter(DiscardTrace);
    }
    records.block().command = C_READ_COORDS;
    GetCommData(&records.block());  // the trace file's buffer is allocated at its first line
    long allocations = 0;
    {
        kestar::testing::AllocationCounter counter;
        for (auto _ : state) {
            records.block().command = C_READ_COORDS;
            benchmark::DoNotOptimize(GetCommData(&records.block()));
            benchmark::ClobberMemory();
        }
        allocations = counter.count();
    }
    state.counters["allocs/reading"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    if (traceOn) {
        kestar::platform::InstallTraceWriter(nullptr);
        std::fclose(devNull);
    }
    kestar::platform::InstallArmLibrary(nullptr);
}

void BM_GetCommDataTraceOff(benchmark::State& state) { BM_GetCommData(state, false); }
void BM_GetCommDataTraceOn(benchmark::State& state) { BM_GetCommData(state, true); }

// The same arm call and field copies written out by hand, with no dispatch or guard.
void BM_HandWrittenBaseline(benchmark::State& state) {
    kestar::testing::HostRecords records;
    InterfaceBlock& block = records.block();
    auto arm = QuickArm();
    auto* volatile leggeQuota = arm.LeggeQuota;
    for (auto _ : state) {
        block.command = C_READ_COORDS;
        block.commandSeen = 1;
        double reading[26] = {};
        int status = 0;
        leggeQuota(reading, &status);
        kestar::Set(block.position, reading[0], reading[1], reading[2]);
        block.probe->pointTaken = status == 1;
        kestar::Set(block.armVector, -reading[12], -reading[13], -reading[14]);
        kestar::Set(block.offsetPoint, block.measuredPoint.x + block.armVector.x,
                    block.measuredPoint.y + block.armVector.y, block.measuredPoint.z + block.armVector.z);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_HandWrittenBaseline);
BENCHMARK(BM_GetCommDataTraceOff);
BENCHMARK(BM_GetCommDataTraceOn);

}  // namespace

BENCHMARK_MAIN();
