#include <deque>
#include <vector>

#include <gtest/gtest.h>

#include "memory_link.h"
#include "platform.h"
#include "sim_clock.h"

namespace {

// The port as the receive poll sees it: bytes that have arrived and not yet been read.
std::deque<uint8_t> portHolds;
std::vector<uint8_t> portSent;
size_t portWrites = 0;

uint32_t fakeReceive(uint8_t* buffer, uint32_t maximum) {
    uint32_t count = 0;
    while (count < maximum && !portHolds.empty()) {
        buffer[count++] = portHolds.front();
        portHolds.pop_front();
    }
    return count;
}

void fakeTransmit(const uint8_t* bytes, uint32_t count) {
    portSent.insert(portSent.end(), bytes, bytes + count);
    ++portWrites;
}

constexpr PlatformPortHooks FAKE_PORT = {fakeReceive, fakeTransmit};

class PlatformUart : public ::testing::Test {
  protected:
    void SetUp() override {
        portHolds.clear();
        portSent.clear();
        portWrites = 0;
        platformSetPortHooks(&FAKE_PORT);
        platformRxReset();
    }
    void TearDown() override { platformSetPortHooks(nullptr); }

    SimClock clock;
};

TEST_F(PlatformUart, EmptyRingReadsZeroAndStaysEmpty) {
    EXPECT_EQ(platformUartRxByte(), 0);
    EXPECT_EQ(platformUartRxReady(0), 0);
    EXPECT_EQ(clock.sleeps, 0U) << "a zero wait answers at once";
}

TEST_F(PlatformUart, WaitRunsItsFullTimeWhenNothingComes) {
    EXPECT_EQ(platformUartRxReady(500), 0);
    EXPECT_GE(clock.nowUs, 500'000U);
    EXPECT_LE(clock.nowUs, 502'000U);
}

TEST_F(PlatformUart, WaitEndsAsSoonAsTheReceiveThreadDeliversAByte) {
    clock.everyPeriod(0, PLATFORM_RX_GATHER_MS * 1000, [] { platformRxPoll(); });
    clock.advanceUs(1);
    portHolds.push_back(0x42);
    EXPECT_EQ(platformUartRxReady(20), 1);
    EXPECT_LE(clock.nowUs, (PLATFORM_RX_GATHER_MS + 1) * 1000U);
    EXPECT_EQ(platformUartRxByte(), 0x42);
}

TEST_F(PlatformUart, FullRingLeavesTheRestInThePort) {
    constexpr int total = PLATFORM_RX_RING_SIZE + 44;
    for (int i = 0; i < total; ++i) {
        portHolds.push_back(static_cast<uint8_t>(i));
    }
    for (int poll = 0; poll < total / static_cast<int>(PLATFORM_RX_CHUNK) + 2; ++poll) {
        platformRxPoll();
    }
    EXPECT_EQ(portHolds.size(), total - (PLATFORM_RX_RING_SIZE - 1U));
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(platformUartRxByte(), static_cast<uint8_t>(i));
    }
    platformRxPoll();
    EXPECT_EQ(portHolds.size(), total - (PLATFORM_RX_RING_SIZE - 1U) - 10);
    for (int i = 10; i < total; ++i) {
        if (platformUartRxReady(0) == 0) {
            platformRxPoll();
        }
        ASSERT_EQ(platformUartRxByte(), static_cast<uint8_t>(i)) << "byte " << i;
    }
    EXPECT_EQ(platformUartRxReady(0), 0);
}

TEST_F(PlatformUart, PacesItsPassesByTheFrameAndHoldsBackOnlyLeadingXbofs) {
    portHolds = {SIR_XBOF, SIR_XBOF};
    EXPECT_EQ(platformRxPoll(), PLATFORM_RX_PREAMBLE_MS);
    EXPECT_EQ(platformUartRxReady(0), 0);
    portHolds = {SIR_XBOF, SIR_BOF, 0x01};
    EXPECT_EQ(platformRxPoll(), PLATFORM_RX_GATHER_MS);
    portHolds = {0x7D, SIR_EOF};
    EXPECT_EQ(platformRxPoll(), 0U);
    const std::vector<uint8_t> frame = {SIR_XBOF, SIR_XBOF, SIR_XBOF, SIR_BOF, 0x01, 0x7D, SIR_EOF};
    for (const uint8_t byte : frame) {
        ASSERT_EQ(platformUartRxByte(), byte);
    }
    // A lone XBOF is not lost when nothing follows it.
    portHolds = {SIR_XBOF};
    platformRxPoll();
    platformRxPoll();
    EXPECT_EQ(platformUartRxByte(), SIR_XBOF);
    EXPECT_EQ(platformUartRxReady(0), 0);
}

TEST_F(PlatformUart, IndicesWrapWithoutLosingOrder) {
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 200; ++i) {
            portHolds.push_back(static_cast<uint8_t>(i + round));
        }
        platformRxPoll();
        platformRxPoll();
        for (int i = 0; i < 200; ++i) {
            ASSERT_EQ(platformUartRxByte(), static_cast<uint8_t>(i + round));
        }
    }
}

TEST_F(PlatformUart, AFrameReachesThePortInOneWriteByteForByte) {
    ByteLink& link = platformUartLink();
    link.sendByte(0x55);
    EXPECT_EQ(portSent, (std::vector<uint8_t>{0x55}));
    portSent.clear();
    portWrites = 0;
    // A longest frame, every byte escaped: the largest a single write has to hold.
    const std::vector<uint8_t> content(SIR_MAX_CONTENT, SIR_EOF);
    sirSendFrame(link, content.data(), static_cast<uint16_t>(content.size()));
    EXPECT_EQ(portWrites, 1U);
    EXPECT_EQ(portSent, sirWrap(content));
    // Anything longer still arrives whole, in more than one write.
    portSent.clear();
    const std::vector<uint8_t> longer(200, SIR_CE);
    sirSendFrame(link, longer.data(), static_cast<uint16_t>(longer.size()));
    EXPECT_EQ(portSent, sirWrap(longer));
}

TEST_F(PlatformUart, DelayAndTickUseTheHostClock) {
    const uint32_t before = platformTickCount();
    platformDelayMs(15);
    EXPECT_EQ(platformTickCount() - before, 15U);
}

// Noise that never holds a BOF ends the receiver's hunt on the platform's clock, and the frame port
// under the secondary refuses a speed its closed port cannot take.
TEST_F(PlatformUart, FramePortHuntsOnThePlatformClockAndRefusesASpeedOnAClosedPort) {
    clock.everyPeriod(0, 4000, [] {
        portHolds.push_back(0x55);
        platformRxPoll();
    });
    PlatformUartPort port;
    RxFrame buffer{};
    const uint32_t start = port.nowMs();
    const LapFrameIn in = port.receiveFrame(buffer);
    EXPECT_EQ(in.length, 0U);
    EXPECT_GE(port.nowMs() - start, SIR_HUNT_WAIT_MS);
    EXPECT_LE(port.nowMs() - start, SIR_HUNT_WAIT_MS + SIR_BYTE_WAIT_MS);
    EXPECT_EQ(port.setSpeed(115200), IR_ERR_IO);
}

} // namespace
