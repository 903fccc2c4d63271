#include <gtest/gtest.h>

#include "vlink_timing.h"

TEST(VlinkTiming, ByteTimeIsTenBitTimes) {
    EXPECT_EQ(vlinkByteTimeNs(9600), 1'041'666);
    EXPECT_EQ(vlinkByteTimeNs(19200), 520'833);
    EXPECT_EQ(vlinkByteTimeNs(115200), 86'805);
    EXPECT_EQ(vlinkByteTimeNs(0), vlinkByteTimeNs(9600));
}

TEST(VlinkTiming, BurstLeavesBackToBack) {
    VlinkPacer pacer{};
    vlinkPacerReset(pacer);
    const int64_t t0 = 5'000'000;
    const VlinkSlot first = vlinkPacerSchedule(pacer, t0, 9600);
    const VlinkSlot second = vlinkPacerSchedule(pacer, t0, 9600);
    const VlinkSlot third = vlinkPacerSchedule(pacer, t0 + 10, 9600);
    EXPECT_EQ(first.startNs, t0);
    EXPECT_EQ(first.dueNs, t0 + 1'041'666);
    EXPECT_EQ(second.startNs, first.dueNs);
    EXPECT_EQ(second.dueNs, t0 + 2'083'333);
    EXPECT_EQ(third.dueNs, t0 + 3'125'000);
}

TEST(VlinkTiming, LongBurstDoesNotDrift) {
    VlinkPacer pacer{};
    vlinkPacerReset(pacer);
    VlinkSlot last{};
    for (int i = 0; i < 960; ++i) {
        last = vlinkPacerSchedule(pacer, 0, 9600);
    }
    EXPECT_EQ(last.dueNs, 1'000'000'000); // 960 bytes of 10 bits at 9600 bit/s: exactly 1 s
}

TEST(VlinkTiming, IdleTransmitterStartsAtOnce) {
    VlinkPacer pacer{};
    vlinkPacerReset(pacer);
    vlinkPacerSchedule(pacer, 0, 115200);
    const VlinkSlot later = vlinkPacerSchedule(pacer, 1'000'000, 115200);
    EXPECT_EQ(later.startNs, 1'000'000);
    EXPECT_EQ(later.dueNs, 1'000'000 + 86'805);
}

TEST(VlinkTiming, SpeedChangeWaitsForTheByteOnTheAir) {
    VlinkPacer pacer{};
    vlinkPacerReset(pacer);
    const VlinkSlot slow = vlinkPacerSchedule(pacer, 0, 9600);
    const VlinkSlot fast = vlinkPacerSchedule(pacer, 0, 19200);
    EXPECT_EQ(fast.startNs, slow.dueNs);
    EXPECT_EQ(fast.dueNs, slow.dueNs + 520'833);
}
