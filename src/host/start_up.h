// Start-up and shut-down of a run, behind InitializeCommunications and
// TerminateCommunications.
#pragma once

#include "kestar.h"

#include <cstddef>
#include <string>

namespace kestar {

constexpr const char* kArmPortName = "COM1";
constexpr const char* kArmTablePath = "C:\\ZUROZ\\M022_5C_2.TAB";
constexpr std::size_t kArmTablePathSize = 100;
static_assert(std::char_traits<char>::length(kArmTablePath) < kArmTablePathSize, "the table path fits its buffer");
constexpr const char* kMachineName = "VASK Manual Arm";
constexpr unsigned kShutDownWaitMs = 100;

// The arm library's calls start-up makes, in its order, before any port line is
// read: the arm takes kArmPortName first.
struct StartUpArmCall {
    const char* name;
    bool (*call)();  // false when the library lacks the call
};
constexpr int kStartUpArmCallCount = 2;
extern const StartUpArmCall kStartUpArmCalls[kStartUpArmCallCount];

// 1 when the ports of all six port lines opened, else 0. Undoes nothing on failure.
int StartUp(InterfaceBlock* block, KestarHostCallback callback);
// Always 1.
int ShutDown();

}  // namespace kestar
