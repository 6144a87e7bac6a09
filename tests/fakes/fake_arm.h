// An in-process arm installed through the arm-library seam.
#pragma once

#include "platform/arm_library.h"

#include <string>

namespace kestar::testing {

struct FakeArmState {
    enum class Throw { Nothing, StdException, Integer, OwnType };

    double reading[26] = {};
    int filledElements = 26;  // how many leading elements LeggeQuota writes
    int status = 0;
    Throw throwFromLeggeQuota = Throw::Nothing;
    Throw throwFromResetEncoder = Throw::Nothing;

    int aprePortaCalls = 0;
    int leggeParametriCalls = 0;
    int chiudePortaCalls = 0;
    int leggeQuotaCalls = 0;
    int resetEncoderCalls = 0;
    int statusSeenOnEntry = -1;
    std::string lastPortName;
    std::string lastTablePath;
};

// Installs the fake arm for its lifetime, with a fresh state; restores the system arm after.
class ScopedFakeArm {
public:
    ScopedFakeArm();
    explicit ScopedFakeArm(const platform::ArmLibrary& calls);  // a partial arm, say
    ~ScopedFakeArm();
    ScopedFakeArm(const ScopedFakeArm&) = delete;
    ScopedFakeArm& operator=(const ScopedFakeArm&) = delete;

    FakeArmState& state();
    static platform::ArmLibrary Calls();  // the five fake calls
};

}  // namespace kestar::testing
