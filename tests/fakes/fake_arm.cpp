#include "fakes/fake_arm.h"

#include <stdexcept>

namespace kestar::testing {
namespace {

FakeArmState armState;

struct OwnArmError {
    int code;
};

void ThrowAs(FakeArmState::Throw kind) {
    switch (kind) {
        case FakeArmState::Throw::Nothing:
            return;
        case FakeArmState::Throw::StdException:
            throw std::runtime_error("arm failure");
        case FakeArmState::Throw::Integer:
            throw 42;
        case FakeArmState::Throw::OwnType:
            throw OwnArmError{7};
    }
}

int KESTAR_CALL FakeAprePorta(const char* portName) {
    ++armState.aprePortaCalls;
    armState.lastPortName = portName != nullptr ? portName : "";
    return 1;
}

int KESTAR_CALL FakeLeggeParametri(char* tablePath) {
    ++armState.leggeParametriCalls;
    armState.lastTablePath = tablePath != nullptr ? tablePath : "";
    return 1;
}

int KESTAR_CALL FakeChiudePorta() {
    ++armState.chiudePortaCalls;
    return 1;
}

int KESTAR_CALL FakeLeggeQuota(double* reading, int* status) {
    ++armState.leggeQuotaCalls;
    armState.statusSeenOnEntry = *status;
    ThrowAs(armState.throwFromLeggeQuota);
    for (int i = 0; i < armState.filledElements && i < 26; ++i) reading[i] = armState.reading[i];
    *status = armState.status;
    return 1;
}

int KESTAR_CALL FakeResetEncoder() {
    ++armState.resetEncoderCalls;
    ThrowAs(armState.throwFromResetEncoder);
    return 1;
}

}  // namespace

platform::ArmLibrary ScopedFakeArm::Calls() {
    return platform::ArmLibrary{FakeAprePorta, FakeLeggeParametri, FakeChiudePorta, FakeLeggeQuota,
                                FakeResetEncoder};
}

ScopedFakeArm::ScopedFakeArm() : ScopedFakeArm(Calls()) {}

ScopedFakeArm::ScopedFakeArm(const platform::ArmLibrary& calls) {
    armState = FakeArmState{};
    platform::InstallArmLibrary(&calls);
}

ScopedFakeArm::~ScopedFakeArm() { platform::InstallArmLibrary(nullptr); }

FakeArmState& ScopedFakeArm::state() { return armState; }

}  // namespace kestar::testing
