#include "platform/system.h"

#include "platform/compiler.h"

#include <windows.h>

namespace kestar::platform {
namespace {

std::uint32_t WinGetVersion() {
    KESTAR_WARNINGS_PUSH
    KESTAR_IGNORE_DEPRECATED
    return ::GetVersion();
    KESTAR_WARNINGS_POP
}

std::uint32_t WinGetTickCount() { return ::GetTickCount(); }

void WinSleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

TimeOfDay WinLocalTimeOfDay() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return TimeOfDay{now.wHour, now.wMinute, now.wSecond};
}

}  // namespace

SystemOps SystemDefaults() {
    SystemOps ops{};
    ops.GetVersion = WinGetVersion;
    ops.GetTickCount = WinGetTickCount;
    ops.Sleep = WinSleep;
    ops.LocalTimeOfDay = WinLocalTimeOfDay;
    return ops;
}

}  // namespace kestar::platform
