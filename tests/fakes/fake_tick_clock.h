// A millisecond tick count that the test drives, installed through the system seam.
#pragma once

#include "platform/system.h"

#include <cstdint>

namespace kestar::testing {

// Every reading of the tick count returns the current value and then adds step.
class FakeTickClock {
public:
    explicit FakeTickClock(std::uint32_t start = 0, std::uint32_t step = 0);
    ~FakeTickClock();
    FakeTickClock(const FakeTickClock&) = delete;
    FakeTickClock& operator=(const FakeTickClock&) = delete;

    void Advance(std::uint32_t milliseconds) { now_ += milliseconds; }
    void SetStep(std::uint32_t step) { step_ = step; }
    std::uint32_t now() const { return now_; }
    int readings() const { return readings_; }

private:
    static std::uint32_t Read();
    std::uint32_t now_;
    std::uint32_t step_;
    int readings_ = 0;
    platform::ScopedSystemOps ops_;
};

}  // namespace kestar::testing
