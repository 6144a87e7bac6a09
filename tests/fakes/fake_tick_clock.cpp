#include "fakes/fake_tick_clock.h"

namespace kestar::testing {
namespace {

FakeTickClock* current = nullptr;

platform::SystemOps WithClock(std::uint32_t (*read)()) {
    platform::SystemOps ops = platform::System();
    ops.GetTickCount = read;
    return ops;
}

}  // namespace

FakeTickClock::FakeTickClock(std::uint32_t start, std::uint32_t step)
    : now_(start), step_(step), ops_(WithClock(&FakeTickClock::Read)) {
    current = this;
}

FakeTickClock::~FakeTickClock() { current = nullptr; }

std::uint32_t FakeTickClock::Read() {
    const std::uint32_t value = current->now_;
    current->now_ += current->step_;
    ++current->readings_;
    return value;
}

}  // namespace kestar::testing
