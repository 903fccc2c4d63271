#include <array>
#include <cstdio>
#include <vector>

#include <gtest/gtest.h>

#include "console.h"
#include "console_capture.h"
#include "platform.h"
#include "sim_clock.h"

namespace {

struct Latch {
    uint8_t port;
    uint8_t rs;
};

std::vector<Latch> latched;

void recordStrobe(uint8_t port, uint8_t rs) {
    latched.push_back({port, rs});
}

// The data lines D4..D7 sit on port bits 7..4 in reverse order.
uint8_t nibbleOf(uint8_t port) {
    uint8_t nibble = 0;
    for (int bit = 0; bit < 4; ++bit) {
        if ((port & (0x80U >> bit)) != 0) {
            nibble = static_cast<uint8_t>(nibble | (1U << bit));
        }
    }
    return nibble;
}

// The bytes the display received, pairing nibbles after `skip` single-nibble strobes.
std::vector<std::pair<uint8_t, uint8_t>> displayBytes(size_t skip = 0) {
    std::vector<std::pair<uint8_t, uint8_t>> bytes;
    for (size_t i = skip; i + 1 < latched.size(); i += 2) {
        bytes.emplace_back(
            static_cast<uint8_t>((nibbleOf(latched[i].port) << 4) | nibbleOf(latched[i + 1].port)),
            latched[i].rs);
    }
    return bytes;
}

class PlatformIo : public ::testing::Test {
  protected:
    void SetUp() override {
        latched.clear();
        platformSetDisplayStrobe(recordStrobe);
        for (uint8_t i = 0; i < DIP_COUNT; ++i) {
            platformSetDipPin(i, 0);
        }
        for (int scan = 0; scan < 6; ++scan) {
            platformIoScan(); // settle the debounced state back to the pins
        }
        for (uint8_t i = 0; i < LED_COUNT; ++i) {
            platformLedSet(i, 0);
        }
    }
    void TearDown() override { platformSetDisplayStrobe(nullptr); }

    SimClock clock;
};

TEST_F(PlatformIo, ChangeSeenForFourScansIsNeverAccepted) {
    platformSetDipPin(0, 1);
    for (int scan = 0; scan < 4; ++scan) {
        platformIoScan();
    }
    EXPECT_EQ(platformDipGet(0), 0);
    platformSetDipPin(0, 0);
    platformIoScan(); // count back to 0
    platformSetDipPin(0, 1);
    for (int scan = 0; scan < 4; ++scan) {
        platformIoScan();
    }
    EXPECT_EQ(platformDipGet(0), 0) << "the earlier four scans must not count";
    EXPECT_EQ(platformLedPin(1), 0);
}

TEST_F(PlatformIo, FifthScanAcceptsAndTogglesLedOne) {
    platformSetDipPin(2, 1);
    for (int scan = 0; scan < 4; ++scan) {
        platformIoScan();
    }
    EXPECT_EQ(platformDipGet(2), 0);
    platformIoScan();
    EXPECT_EQ(platformDipGet(2), 1);
    EXPECT_EQ(platformPsuInput(1), 1);
    EXPECT_EQ(platformLedPin(1), 1);
}

TEST_F(PlatformIo, ChangeBackOnTheNextScanIsAcceptedAtOnce) {
    platformSetDipPin(1, 1);
    for (int scan = 0; scan < 5; ++scan) {
        platformIoScan();
    }
    ASSERT_EQ(platformDipGet(1), 1);
    platformSetDipPin(1, 0);
    platformIoScan(); // count stood at 5: 6 accepts
    EXPECT_EQ(platformDipGet(1), 0);
    EXPECT_EQ(platformLedPin(1), 0) << "LED 1 toggled twice";
}

TEST_F(PlatformIo, OutputsFiveAndSixShareOnePin) {
    platformDopSet(5, 1);
    platformDopSet(6, 0);
    EXPECT_EQ(platformOutputPin(5), 0);
    EXPECT_EQ(platformDopGet(5), 1);
    EXPECT_EQ(platformDopGet(6), 0);
    platformDopSet(6, 1);
    platformDopSet(5, 0);
    platformIoScan(); // rewrites every pin, the shared one ending with entry 6
    EXPECT_EQ(platformOutputPin(5), 1);
    EXPECT_EQ(platformDopGet(7), 0) << "an index past the table reads nothing";
}

TEST_F(PlatformIo, LedToggleTreatsAnyNonZeroAsOn) {
    platformLedSet(3, 2);
    platformLedToggle(3);
    EXPECT_EQ(platformLedPin(3), 0);
    platformLedToggle(3);
    EXPECT_EQ(platformLedPin(3), 1);
}

TEST_F(PlatformIo, LedsOffLeavesInterruptsDisabled) {
    platformLedSet(0, 1);
    platformLedSet(2, 1);
    platformLedsOff();
    for (uint8_t i = 0; i < LED_COUNT; ++i) {
        EXPECT_EQ(platformLedPin(i), 0);
    }
    EXPECT_EQ(platformInterruptsEnabled(), 0);
}

TEST_F(PlatformIo, RecordOfOtherKindsReturnsSilently) {
    ConsoleCapture console;
    platformRecord(0);
    platformRecord(2);
    platformRecord(4);
    EXPECT_EQ(console.take(), "");
}

void stderrSink(const char* text, size_t length) {
    std::fwrite(text, 1, length, stderr);
}

TEST(PlatformAssertDeathTest, BadIndexStopsNamingTheExpression) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            consoleSetSink(stderrSink);
            platformDopSet(DOP_COUNT, 1);
        },
        "dopIndex < DOP_COUNT, platform");
    EXPECT_DEATH(
        {
            consoleSetSink(stderrSink);
            platformLedToggle(LED_COUNT);
        },
        "ledIndex < LED_COUNT, platform");
    EXPECT_DEATH(
        {
            consoleSetSink(stderrSink);
            platformDipGet(DIP_COUNT);
        },
        "dipIndex < DIP_COUNT, platform");
}

TEST_F(PlatformIo, DisplayGotoWritesSetAddressCommand) {
    platformDisplayGoto(0x40);
    const auto bytes = displayBytes();
    ASSERT_EQ(bytes.size(), 1U);
    EXPECT_EQ(bytes[0].first, 0xC0);
    EXPECT_EQ(bytes[0].second, 0) << "a command, RS 0";
}

TEST_F(PlatformIo, DisplayTextKeepsThePortAsItWas) {
    platformSetDisplayPort(0x5A);
    platformDisplayText("Hi!");
    EXPECT_EQ(platformDisplayPort(), 0x5A);
    const auto bytes = displayBytes();
    ASSERT_EQ(bytes.size(), 3U);
    EXPECT_EQ(bytes[0], std::make_pair(uint8_t{'H'}, uint8_t{1}));
    EXPECT_EQ(bytes[2], std::make_pair(uint8_t{'!'}, uint8_t{1}));
    for (const Latch& latch : latched) {
        EXPECT_EQ(latch.port & 0x0F, 0x0A) << "the lower bits belong to other functions";
    }
}

TEST_F(PlatformIo, DisplayInitSendsTheFourBitWakeUpThenItsCommands) {
    platformSetDisplayPort(0x03);
    platformDisplayInit();
    EXPECT_EQ(platformDisplayPort(), 0x03);
    ASSERT_EQ(latched.size(), 12U);
    EXPECT_EQ(latched[0].port & 0xF0, 0xC0) << "half-byte 3 as wired";
    EXPECT_EQ(latched[1].port & 0xF0, 0xC0);
    EXPECT_EQ(latched[2].port & 0xF0, 0xC0);
    EXPECT_EQ(latched[3].port & 0xF0, 0x40) << "half-byte 2 as wired";
    const auto bytes = displayBytes(4);
    ASSERT_EQ(bytes.size(), 4U);
    EXPECT_EQ(bytes[0].first, 0x28);
    EXPECT_EQ(bytes[1].first, 0x08);
    EXPECT_EQ(bytes[2].first, 0x0C);
    EXPECT_EQ(bytes[3].first, 0x06);
    EXPECT_GE(clock.sleptMs, 25U);
}

TEST_F(PlatformIo, DisplayClearWaitsAfterItsCommand) {
    platformDisplayClear();
    const auto bytes = displayBytes();
    ASSERT_EQ(bytes.size(), 1U);
    EXPECT_EQ(bytes[0].first, 0x01);
    EXPECT_EQ(clock.sleptMs, 2U);
}

TEST_F(PlatformIo, BoardStartUpSetsOutputsAndEnablesInterrupts) {
    platformDopSet(4, 0);
    platformDopSet(5, 0);
    platformInitBoard();
    EXPECT_EQ(platformInterruptsEnabled(), 1);
    EXPECT_EQ(platformDopGet(5), 1);
    EXPECT_EQ(platformDopGet(4), 1);
    EXPECT_EQ(platformOutputPin(4), 1);
    EXPECT_EQ(platformOutputPin(5), 1);
    EXPECT_FALSE(latched.empty()) << "the display was initialised";
}

TEST(PlatformRandom, StaysWithinItsRange) {
    for (int i = 0; i < 20000; ++i) {
        const int value = platformRandom();
        ASSERT_GE(value, 631);
        ASSERT_LE(value, 651);
    }
}

} // namespace
