#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

#include "vlink_faults.h"

namespace {

struct NoisyRun {
    std::vector<int> bytes; // -1 for a lost byte
    VlinkFaultCounts counts{};
};

NoisyRun noisyRun(uint64_t seed, const VlinkFaultConfig& config, int length) {
    VlinkRandom random{};
    vlinkRandomSeed(random, seed);
    NoisyRun run;
    for (int i = 0; i < length; ++i) {
        const VlinkOutcome outcome =
            vlinkApplyNoise(random, config, static_cast<uint8_t>(i), run.counts);
        run.bytes.push_back(outcome.delivered ? outcome.byte : -1);
    }
    return run;
}

int intactCount(uint32_t txSpeed, uint32_t rxSpeed) {
    int intact = 0;
    for (int value = 0; value < 256; ++value) {
        const VlinkOutcome outcome =
            vlinkSampleAtSpeed(static_cast<uint8_t>(value), txSpeed, rxSpeed);
        intact += outcome.delivered && outcome.byte == value ? 1 : 0;
    }
    return intact;
}

} // namespace

TEST(VlinkFaults, SameSeedSameFaults) {
    const VlinkFaultConfig config{0.01, 0.02};
    const NoisyRun first = noisyRun(42, config, 5000);
    const NoisyRun second = noisyRun(42, config, 5000);
    EXPECT_EQ(first.bytes, second.bytes);
    EXPECT_EQ(first.counts.bitErrors, second.counts.bitErrors);
    EXPECT_EQ(first.counts.dropped, second.counts.dropped);
    EXPECT_NE(first.bytes, noisyRun(43, config, 5000).bytes);
}

TEST(VlinkFaults, RatesAreRoughlyMet) {
    const NoisyRun run = noisyRun(7, VlinkFaultConfig{0.01, 0.05}, 20000);
    // 20000 bytes: about 1000 dropped, about 1520 bits flipped among the 19000 delivered.
    EXPECT_GT(run.counts.dropped, 800U);
    EXPECT_LT(run.counts.dropped, 1200U);
    EXPECT_GT(run.counts.bitErrors, 1200U);
    EXPECT_LT(run.counts.bitErrors, 1850U);
}

TEST(VlinkFaults, NoFaultsLeaveBytesIntact) {
    const NoisyRun run = noisyRun(1, VlinkFaultConfig{0.0, 0.0}, 256);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(run.bytes[i], i);
    }
    EXPECT_EQ(run.counts.bitErrors, 0U);
    EXPECT_EQ(run.counts.dropped, 0U);
}

TEST(VlinkFaults, FullBitErrorRateInvertsEveryByte) {
    const NoisyRun run = noisyRun(1, VlinkFaultConfig{1.0, 0.0}, 256);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(run.bytes[i], i ^ 0xFF);
    }
}

TEST(VlinkFaults, MatchingSpeedsReceiveIntact) {
    EXPECT_EQ(intactCount(9600, 9600), 256);
    EXPECT_EQ(intactCount(115200, 115200), 256);
    EXPECT_EQ(intactCount(9600, 9700), 256); // within a UART's tolerance
}

TEST(VlinkFaults, MismatchedSpeedsDoNotReceiveIntact) {
    const uint32_t speeds[] = {9600, 19200, 38400, 57600, 115200};
    for (const uint32_t tx : speeds) {
        for (const uint32_t rx : speeds) {
            if (tx != rx) {
                EXPECT_LT(intactCount(tx, rx), 32) << tx << " -> " << rx;
            }
        }
    }
}

TEST(VlinkFaults, SlowSenderSeenByFastReceiver) {
    // At twice the speed every receiver bit lands in half a sender bit: 0xFF reads as 0xFE.
    const VlinkOutcome outcome = vlinkSampleAtSpeed(0xFF, 9600, 19200);
    EXPECT_TRUE(outcome.delivered);
    EXPECT_EQ(outcome.byte, 0xFE);
    // A receiver eight times faster sees only the start bit and misses the stop bit.
    EXPECT_FALSE(vlinkSampleAtSpeed(0x55, 9600, 115200).delivered);
}

TEST(VlinkFaults, StrayBytesAreAnyButFramingBytesAndFollowTheSeed) {
    VlinkRandom random{};
    vlinkRandomSeed(random, 9);
    VlinkRandom again{};
    vlinkRandomSeed(again, 9);
    std::set<int> seen;
    for (int i = 0; i < 5000; ++i) {
        const uint8_t byte = vlinkStrayByte(random);
        ASSERT_EQ(byte, vlinkStrayByte(again));
        seen.insert(byte);
    }
    for (const int framing : {0xC0, 0xC1, 0x7D, 0xFF}) {
        EXPECT_EQ(seen.count(framing), 0U) << framing;
    }
    EXPECT_EQ(seen.size(), 252U);
}

TEST(VlinkFaults, RandomStrayGapsAverageTheirMeanAndVary) {
    constexpr int64_t MEAN = 40'000'000;
    constexpr int DRAWS = 20000;
    VlinkRandom random{};
    vlinkRandomSeed(random, 3);
    int64_t total = 0;
    int64_t shortest = INT64_MAX;
    int64_t longest = 0;
    int underMean = 0;
    for (int i = 0; i < DRAWS; ++i) {
        const int64_t gap = vlinkStrayGapNs(random, MEAN);
        ASSERT_GE(gap, 0);
        total += gap;
        shortest = gap < shortest ? gap : shortest;
        longest = gap > longest ? gap : longest;
        underMean += gap < MEAN ? 1 : 0;
    }
    // The mean of 20000 exponential draws lies within 3 % of the true one but for one seed in
    // millions; a steady beat or a uniform spread would fail the tails or the share under the mean.
    EXPECT_NEAR(static_cast<double>(total) / DRAWS, static_cast<double>(MEAN), 0.03 * MEAN);
    EXPECT_LT(shortest, MEAN / 100);
    EXPECT_GT(longest, 5 * MEAN);
    EXPECT_NEAR(underMean, DRAWS * 0.632, DRAWS * 0.02); // 1 - 1/e of them
}
