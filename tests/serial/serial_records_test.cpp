// The serial seam's records carry the system's layout: on Windows they are handed
// to the comm calls in place, bit fields included.
#include "platform/serial.h"

#include <gtest/gtest.h>

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace kestar::platform {
namespace {

TEST(SerialRecords, HaveTheSystemSizes) {
    EXPECT_EQ(sizeof(Dcb), 28u);
    EXPECT_EQ(sizeof(CommTimeouts), 20u);
    // Two pointer-sized status fields, the 64-bit offset and the event handle.
    EXPECT_EQ(sizeof(Overlapped), 2 * sizeof(void*) + 8u + sizeof(void*));
    EXPECT_EQ(sizeof(ComStat), 12u);
}

#if defined(_WIN32)
TEST(SerialRecords, ControlBlockBitFieldsSitWhereTheSystemHasThem) {
    Dcb ours{};
    ours.fOutxCtsFlow = 1;
    ours.fDtrControl = 2;
    ours.fOutX = 1;
    ours.fRtsControl = 3;
    ours.fAbortOnError = 1;
    ours.XonLim = 262;
    ours.EvtChar = 0x0D;
    DCB system;
    std::memcpy(&system, &ours, sizeof system);
    EXPECT_EQ(system.fOutxCtsFlow, 1u);
    EXPECT_EQ(system.fDtrControl, 2u);
    EXPECT_EQ(system.fOutX, 1u);
    EXPECT_EQ(system.fInX, 0u);
    EXPECT_EQ(system.fRtsControl, 3u);
    EXPECT_EQ(system.fAbortOnError, 1u);
    EXPECT_EQ(system.fNull, 0u);
    EXPECT_EQ(system.XonLim, 262);
    EXPECT_EQ(system.EvtChar, 0x0D);
}
#endif

}  // namespace
}  // namespace kestar::platform
