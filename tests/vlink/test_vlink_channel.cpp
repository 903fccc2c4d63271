#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "vlink_channel.h"

namespace {

struct Landed {
    int channel;
    uint8_t byte;
    int64_t dueNs;
};

void recordLanded(void* context, int channel, uint8_t byte, int64_t dueNs) {
    static_cast<std::vector<Landed>*>(context)->push_back(Landed{channel, byte, dueNs});
}

std::vector<uint8_t> takeOutbox(VlinkChannel& channel) {
    std::vector<uint8_t> bytes;
    while (channel.outCount > 0) {
        size_t count = 0;
        const uint8_t* front = vlinkOutboxFront(channel, count);
        bytes.insert(bytes.end(), front, front + count);
        vlinkOutboxConsume(channel, count);
    }
    return bytes;
}

constexpr std::array<uint32_t, 2> AT_9600{9600, 9600};
constexpr int64_t BYTE_9600 = 1'041'666;

class VlinkChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        link = std::make_unique<VlinkLink>();
        vlinkLinkInit(*link, VlinkFaultConfig{0.0, 0.0}, false, 1);
        link->onLanded = recordLanded;
        link->landedContext = &landed;
    }
    std::unique_ptr<VlinkLink> link;
    std::vector<Landed> landed;
};

} // namespace

TEST_F(VlinkChannelTest, BytesLandAtTheirDueTimes) {
    const uint8_t bytes[] = {0xC0, 0x01, 0xC1};
    ASSERT_EQ(vlinkAccept(link->channels[0], bytes, 3, 0, 9600), 3U);
    EXPECT_EQ(vlinkNextDueNs(*link), BYTE_9600);
    vlinkLand(*link, BYTE_9600 - 1, AT_9600);
    EXPECT_TRUE(landed.empty());
    vlinkLand(*link, 2 * BYTE_9600 + 1, AT_9600);
    ASSERT_EQ(landed.size(), 2U);
    EXPECT_EQ(landed[1].dueNs, 2'083'333);
    vlinkLand(*link, 10 * BYTE_9600, AT_9600);
    EXPECT_EQ(takeOutbox(link->channels[0]), std::vector<uint8_t>({0xC0, 0x01, 0xC1}));
    EXPECT_EQ(vlinkNextDueNs(*link), VLINK_NEVER);
}

TEST_F(VlinkChannelTest, FullDuplexCarriesBothWaysAtOnce) {
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    vlinkAccept(link->channels[0], all.data(), all.size(), 0, 9600);
    vlinkAccept(link->channels[1], all.data(), all.size(), 500, 9600);
    vlinkLand(*link, 300 * BYTE_9600, AT_9600);
    EXPECT_EQ(takeOutbox(link->channels[0]), all);
    EXPECT_EQ(takeOutbox(link->channels[1]), all);
    // Landed earliest first across the two directions.
    for (size_t i = 1; i < landed.size(); ++i) {
        ASSERT_LE(landed[i - 1].dueNs, landed[i].dueNs);
    }
}

TEST_F(VlinkChannelTest, HalfDuplexLosesWhatArrivesWhileSending) {
    link->halfDuplex = true;
    const uint8_t bytes[] = {1, 2, 3, 4};
    vlinkAccept(link->channels[0], bytes, 4, 0, 9600);
    // The far end starts sending while the second byte is on the air and sends one byte.
    vlinkAccept(link->channels[1], bytes, 1, BYTE_9600 + 100, 9600);
    vlinkLand(*link, 10 * BYTE_9600, AT_9600);
    EXPECT_EQ(takeOutbox(link->channels[0]), std::vector<uint8_t>({1, 4}));
    EXPECT_TRUE(takeOutbox(link->channels[1]).empty());
    EXPECT_EQ(link->channels[0].faults.blinded, 2U);
    EXPECT_EQ(link->channels[1].faults.blinded, 1U);
}

TEST_F(VlinkChannelTest, HalfDuplexTakingTurnsLosesNothing) {
    link->halfDuplex = true;
    const uint8_t bytes[] = {1, 2, 3};
    vlinkAccept(link->channels[0], bytes, 3, 0, 9600);
    vlinkLand(*link, 3 * BYTE_9600 + 10, AT_9600);
    vlinkAccept(link->channels[1], bytes, 3, 3 * BYTE_9600 + 10, 9600);
    vlinkLand(*link, 7 * BYTE_9600, AT_9600);
    EXPECT_EQ(takeOutbox(link->channels[0]).size(), 3U);
    EXPECT_EQ(takeOutbox(link->channels[1]).size(), 3U);
}

TEST_F(VlinkChannelTest, CutLosesBytesDueInsideIt) {
    link->cutFromNs = BYTE_9600 + 1;
    link->cutUntilNs = 3 * BYTE_9600;
    const uint8_t bytes[] = {1, 2, 3, 4};
    vlinkAccept(link->channels[0], bytes, 4, 0, 9600);
    vlinkLand(*link, 10 * BYTE_9600, AT_9600);
    EXPECT_EQ(takeOutbox(link->channels[0]), std::vector<uint8_t>({1, 3, 4}));
    EXPECT_EQ(link->channels[0].faults.cut, 1U);

    link->cutOnDemand = true;
    vlinkAccept(link->channels[1], bytes, 2, 20 * BYTE_9600, 9600);
    vlinkLand(*link, 30 * BYTE_9600, AT_9600);
    EXPECT_TRUE(takeOutbox(link->channels[1]).empty());
}

TEST_F(VlinkChannelTest, SpeedMismatchDoesNotArriveIntact) {
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    vlinkAccept(link->channels[0], all.data(), all.size(), 0, 9600);
    vlinkLand(*link, 300 * BYTE_9600, {19200, 9600});
    EXPECT_NE(takeOutbox(link->channels[0]), all);
    EXPECT_EQ(link->channels[0].faults.misspeeded, 256U);
}

TEST_F(VlinkChannelTest, FullOutboxKeepsBytesOnTheAir) {
    std::vector<uint8_t> many(VLINK_OUTBOX_SIZE + 10, 0x55);
    ASSERT_EQ(vlinkAccept(link->channels[0], many.data(), many.size(), 0, 115200), many.size());
    constexpr std::array<uint32_t, 2> fast{115200, 115200};
    vlinkLand(*link, VLINK_NS_PER_S, fast);
    EXPECT_EQ(link->channels[0].outCount, VLINK_OUTBOX_SIZE);
    EXPECT_EQ(link->channels[0].airCount, 10U);
    EXPECT_EQ(vlinkNextDueNs(*link), VLINK_NEVER); // nothing to wake for until the end reads
    size_t count = 0;
    vlinkOutboxFront(link->channels[0], count);
    vlinkOutboxConsume(link->channels[0], count);
    vlinkLand(*link, VLINK_NS_PER_S, fast);
    EXPECT_EQ(link->channels[0].airCount, 0U);
    EXPECT_EQ(link->channels[0].delivered, many.size());
}

TEST_F(VlinkChannelTest, AirRefusesWhatItCannotHold) {
    std::vector<uint8_t> many(VLINK_AIR_SLOTS + 5, 0x55);
    EXPECT_EQ(vlinkAccept(link->channels[1], many.data(), many.size(), 0, 9600), VLINK_AIR_SLOTS);
    EXPECT_EQ(vlinkAirRoom(link->channels[1]), 0U);
}

TEST_F(VlinkChannelTest, EachDropLosesABurstOfBytesInARow) {
    link->faults = VlinkFaultConfig{0.0, 0.01};
    link->dropBurst = 20;
    std::vector<uint8_t> bytes(4000);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    vlinkAccept(link->channels[0], bytes.data(), bytes.size(), 0, 115200);
    vlinkLand(*link, VLINK_NS_PER_S, {115200, 115200});
    const std::vector<uint8_t> got = takeOutbox(link->channels[0]);
    ASSERT_EQ(got.size() + link->channels[0].faults.dropped, bytes.size());
    ASSERT_GT(link->channels[0].faults.dropped, 0U);
    // Every gap in what arrived is at least a whole burst long.
    uint8_t expected = 0;
    size_t gaps = 0;
    for (const uint8_t byte : got) {
        const auto gap = static_cast<uint8_t>(byte - expected);
        if (gap != 0) {
            EXPECT_GE(gap, 20U);
            ++gaps;
        }
        expected = static_cast<uint8_t>(byte + 1);
    }
    EXPECT_GT(gaps, 0U);
}

TEST_F(VlinkChannelTest, NoiseStopsAtItsEndAndOnDemand) {
    link->faults = VlinkFaultConfig{1.0, 0.0}; // every bit flipped while the noise lasts
    link->noiseUntilNs = 2 * BYTE_9600 + 2;    // just after the second byte is due
    const uint8_t bytes[] = {0x0F, 0x0F, 0x0F, 0x0F};
    vlinkAccept(link->channels[0], bytes, 4, 0, 9600);
    vlinkLand(*link, 10 * BYTE_9600, AT_9600);
    EXPECT_EQ(takeOutbox(link->channels[0]), std::vector<uint8_t>({0xF0, 0xF0, 0x0F, 0x0F}));

    link->noiseUntilNs = VLINK_NEVER;
    link->noiseOffOnDemand = true;
    vlinkAccept(link->channels[1], bytes, 2, 20 * BYTE_9600, 9600);
    vlinkLand(*link, 30 * BYTE_9600, AT_9600);
    EXPECT_EQ(takeOutbox(link->channels[1]), std::vector<uint8_t>({0x0F, 0x0F}));
    link->noiseOffOnDemand = false;
    EXPECT_TRUE(vlinkNoiseActive(*link, 40 * BYTE_9600));
}

TEST_F(VlinkChannelTest, StrayBytesReachBothEndsAmongTheData) {
    constexpr int64_t PERIOD = 3 * BYTE_9600 / 2;
    vlinkStrayStart(*link, PERIOD, 0);
    link->cutFromNs = 5 * BYTE_9600; // the light is at the receivers: a cut does not stop it
    link->cutUntilNs = 7 * BYTE_9600;
    const uint8_t bytes[] = {0x11, 0x22, 0x33};
    vlinkAccept(link->channels[0], bytes, 3, 0, 9600);
    vlinkLand(*link, 7 * PERIOD, AT_9600);
    // Data due at 1, 2, 3 byte times, strays every 1.5: one between the first two data bytes.
    const std::vector<uint8_t> there = takeOutbox(link->channels[0]);
    ASSERT_EQ(there.size(), 3U + 7U);
    EXPECT_EQ(there[0], 0x11);
    EXPECT_EQ(there[2], 0x22);
    EXPECT_EQ(there[4], 0x33);
    EXPECT_EQ(takeOutbox(link->channels[1]).size(), 7U);
    EXPECT_EQ(link->channels[0].faults.stray + link->channels[1].faults.stray, 14U);
    for (size_t i = 1; i < landed.size(); ++i) {
        ASSERT_LE(landed[i - 1].dueNs, landed[i].dueNs);
    }
    EXPECT_EQ(vlinkNextDueNs(*link), 8 * PERIOD);

    link->noiseUntilNs = 8 * PERIOD; // they stop with the noise
    vlinkLand(*link, 20 * PERIOD, AT_9600);
    EXPECT_TRUE(takeOutbox(link->channels[0]).empty());
    vlinkStrayStart(*link, 0, 20 * PERIOD);
    EXPECT_EQ(vlinkNextDueNs(*link), VLINK_NEVER);
}

TEST_F(VlinkChannelTest, SameSeedSameStrayBytes) {
    const auto run = [](uint64_t seed) {
        auto other = std::make_unique<VlinkLink>();
        vlinkLinkInit(*other, VlinkFaultConfig{0.0, 0.0}, false, seed);
        vlinkStrayStart(*other, 1000, 0);
        vlinkLand(*other, 64 * 1000, AT_9600);
        return takeOutbox(other->channels[0]);
    };
    EXPECT_EQ(run(4), run(4));
    EXPECT_NE(run(4), run(5));
}

TEST_F(VlinkChannelTest, RandomStraysLandInsideFramesRepeatablyAndStopWithTheNoise) {
    constexpr int64_t MEAN = BYTE_9600 / 2;
    const auto run = [](uint64_t seed, bool noiseOff) {
        auto other = std::make_unique<VlinkLink>();
        std::vector<Landed> seen;
        vlinkLinkInit(*other, VlinkFaultConfig{0.0, 0.0}, false, seed);
        other->onLanded = recordLanded;
        other->landedContext = &seen;
        other->noiseOffOnDemand = noiseOff;
        vlinkStrayStart(*other, MEAN, 0, true);
        const std::vector<uint8_t> frame(200, 0x55);
        vlinkAccept(other->channels[0], frame.data(), frame.size(), 0, 9600);
        vlinkLand(*other, 300 * BYTE_9600, AT_9600);
        return seen;
    };
    const std::vector<Landed> first = run(8, false);
    const std::vector<Landed> again = run(8, false);
    ASSERT_EQ(first.size(), again.size());
    size_t inFrame = 0;
    std::vector<int64_t> gaps;
    int64_t lastStray = 0;
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].dueNs, again[i].dueNs);
        EXPECT_EQ(first[i].byte, again[i].byte);
        if (first[i].channel == 0 && first[i].byte != 0x55) {
            inFrame += first[i].dueNs <= 200 * BYTE_9600 ? 1 : 0;
            gaps.push_back(first[i].dueNs - lastStray);
            lastStray = first[i].dueNs;
        }
    }
    // About 400 strays in the frame's 200 byte times, at uneven gaps.
    EXPECT_GT(inFrame, 300U);
    EXPECT_NE(*std::min_element(gaps.begin(), gaps.end()),
              *std::max_element(gaps.begin(), gaps.end()));
    const std::vector<Landed> other = run(9, false);
    EXPECT_FALSE(other.size() == first.size() &&
                 std::equal(first.begin(), first.end(), other.begin(),
                            [](const Landed& a, const Landed& b) { return a.dueNs == b.dueNs; }));
    EXPECT_EQ(run(8, true).size(), 200U); // switched off: the frame alone
}
