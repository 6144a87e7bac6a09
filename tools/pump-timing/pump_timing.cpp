// pump-timing: runs the callback pump for a number of cycles and reports how far
// the intervals between the host callbacks stray from the 100 ms period.
//   pump-timing [cycles]     (default 50)
#include "host/callback_pump.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<Clock::time_point> stamps;
std::atomic<int> wanted{0};

int KESTAR_CALL RecordCallback(InterfaceBlock*, PointList*) {
    if (static_cast<int>(stamps.size()) <= wanted) stamps.push_back(Clock::now());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    wanted = cycles;
    stamps.reserve(static_cast<std::size_t>(cycles) + 1);
    kestar::hostCallback = RecordCallback;
    const Clock::time_point started = Clock::now();
    if (kestar::StartCallbackPump() == nullptr) {
        std::fprintf(stderr, "pump-timing: the pump thread could not be started\n");
        return 1;
    }
    while (static_cast<int>(stamps.size()) <= cycles) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kestar::RequestCallbackPumpStop();
    kestar::WaitForCallbackPumpEnd();

    double sum = 0.0, worst = 0.0;
    for (int i = 1; i <= cycles; ++i) {
        const double ms = std::chrono::duration<double, std::milli>(stamps[i] - stamps[i - 1]).count();
        sum += ms;
        worst = std::max(worst, std::fabs(ms - kestar::kPumpPeriodMs));
    }
    const double mean = sum / cycles;
    const double first = std::chrono::duration<double, std::milli>(stamps[0] - started).count();
    std::printf("pump period over %d cycles: mean %.3f ms (deviation %+.3f ms), worst deviation %.3f ms, "
                "first callback after %.3f ms\n",
                cycles, mean, mean - kestar::kPumpPeriodMs, worst, first);
    return 0;
}
