// irphy against a real pseudo-terminal: reset, speed changes and the transceiver, the held byte
// of irphy_wait, and SIR frames through irphy's ByteLink.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "console_capture.h"
#include "irphy.h"
#include "memory_link.h"
#include "pty_pair.h"
#include "transceiver_recorder.h"

namespace {

using Clock = std::chrono::steady_clock;

class Irphy : public ::testing::Test {
  protected:
    void SetUp() override {
        irphy_close();
        if (!pty.open()) {
            GTEST_SKIP() << "no pseudo-terminals on this system";
        }
        ASSERT_TRUE(irphy_set_port_name(pty.slaveName().c_str()));
        irphy_reset();
        ASSERT_EQ(console.take(), "");
    }
    void TearDown() override {
        irphy_close();
        irphy_set_port_name("COM1");
        irphySetLines(nullptr);
    }

    PtyPair pty;
    ConsoleCapture console;
};

TEST(IrphyClosed, MissingPortPrintsTheCreateFileErrorAndSkipsTheTransceiver) {
    ConsoleCapture console;
    bindRecorder();
    irphySetLines(&recorderBinding());
    ASSERT_TRUE(irphy_set_port_name("/dev/no-such-port"));
    irphy_reset();
    EXPECT_EQ(console.take(), "irphy_reset: CreateFile error: 2");
    EXPECT_TRUE(recordedEvents.empty());
    EXPECT_FALSE(irphy_wait(0));
    irphy_send(0x55);
    EXPECT_EQ(irphy_close(), 0);
    EXPECT_EQ(console.take(), "");
    irphy_set_port_name("COM1");
    irphySetLines(nullptr);
}

TEST(IrphyClosed, TooLongPortNameIsRefused) {
    const std::string name(300, 'x');
    EXPECT_FALSE(irphy_set_port_name(name.c_str()));
    EXPECT_FALSE(irphy_set_port_name(nullptr));
}

TEST_F(Irphy, ResetOpensAtNineSixHundredRaw8N1AndBindsItsLines) {
    const termios settings = pty.slaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), 0U);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0U);
    const TransceiverBinding* lines = irphyTransceiverBinding();
    EXPECT_TRUE(lines->portIsOpen(lines->context));
    EXPECT_EQ(irphy_close(), 1);
    EXPECT_FALSE(lines->portIsOpen(lines->context));
}

TEST_F(Irphy, ResetOnAnOpenPortReopensIt) {
    irphy_reset();
    EXPECT_EQ(console.take(), "");
    irphy_send(0x33);
    EXPECT_EQ(pty.readMaster(1), std::vector<uint8_t>{0x33});
}

TEST_F(Irphy, SpeedChangeSetsThePortThenTheTransceiver) {
    bindRecorder();
    irphySetLines(&recorderBinding());
    irphy_set_baud_rate(115200);
    const termios settings = pty.slaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200));
    // Variant A: entry, then three RTS pulses.
    EXPECT_EQ(recordedEvents.size(), 5U + 3U * 6U);
    EXPECT_EQ(console.take(), "");
}

TEST_F(Irphy, SpeedChangeWaitsUntilTheLastWriteHasLeftAtTheOldSpeed) {
    bindRecorder();
    irphySetLines(&recorderBinding());
    const std::vector<uint8_t> frame(96, 0x55); // 100 ms on the wire at 9600 bit/s
    const auto sent = Clock::now();
    irphyByteLink().sendBytes(frame);
    irphy_set_baud_rate(115200);
    // Less a millisecond for where the tick count stood at the write.
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(99));
    EXPECT_EQ(pty.readMaster(frame.size()), frame);
    EXPECT_EQ(console.take(), "");
}

TEST_F(Irphy, RefusedSpeedPrintsTheErrorAndLeavesTheTransceiverAlone) {
    bindRecorder();
    irphySetLines(&recorderBinding());
    irphy_set_baud_rate(12345);
    EXPECT_EQ(console.take(), "\nirphy_set_baud_rate: SetCommState error: 87");
    EXPECT_TRUE(recordedEvents.empty());
    const termios settings = pty.slaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), 0U);
}

// Nothing listens to a plain port's lines: raised as it opens, then never touched, whatever the
// speed; its speeds are those the device takes (a pseudo-terminal takes them all).
TEST(IrphyPlain, RaisesTheLinesOnceAndSwitchesSpeedOnThePortAlone) {
    PtyPair pty;
    if (!pty.open()) {
        GTEST_SKIP() << "no pseudo-terminals on this system";
    }
    ConsoleCapture console;
    IrphyPort port(TRANSCEIVER_VARIANT_PLAIN);
    bindRecorder();
    port.setLines(&recorderBinding());
    ASSERT_TRUE(port.setPortName(pty.slaveName().c_str()));
    ASSERT_EQ(port.hold(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(port.offeredBaudBits(), 0x3E);
    for (int opening = 0; opening < 2; ++opening) {
        EXPECT_EQ(port.reset(), IR_OK);
        EXPECT_EQ(recordedEvents, (std::vector<std::string>{"D1", "R1"}));
        for (const auto& [speed, code] :
             {std::pair{115200U, B115200}, std::pair{19200U, B19200}, std::pair{57600U, B57600}}) {
            EXPECT_EQ(port.setSpeed(speed), IR_OK);
            const termios settings = pty.slaveSettings();
            EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(code));
        }
        EXPECT_EQ(recordedEvents, (std::vector<std::string>{"D1", "R1"}));
        recordedEvents.clear();
    }
    port.close();
    port.release();
    EXPECT_EQ(console.take(), "");
}

TEST_F(Irphy, EveryByteValuePassesBothWays) {
    const std::vector<uint8_t> bytes = allByteValues();
    for (const uint8_t byte : bytes) {
        irphy_send(byte);
    }
    EXPECT_EQ(pty.readMaster(bytes.size()), bytes);

    pty.writeMaster(bytes);
    ASSERT_TRUE(pty.waitPendingOnSlave(bytes.size()));
    std::vector<uint8_t> received;
    while (irphy_wait(0)) {
        received.push_back(irphy_read());
    }
    EXPECT_EQ(received, bytes);
    EXPECT_EQ(console.take(), "");
}

TEST_F(Irphy, HeldByteStaysUntilReadAndTheWaitLeavesThePortAlone) {
    pty.writeMaster({'A', 'B'});
    ASSERT_TRUE(pty.waitPendingOnSlave(2));
    ASSERT_TRUE(irphy_wait(0));
    EXPECT_EQ(pty.pendingOnSlave(), 1U);
    EXPECT_TRUE(irphy_wait(500));
    EXPECT_TRUE(irphy_wait(0));
    EXPECT_EQ(pty.pendingOnSlave(), 1U);
    EXPECT_EQ(irphy_read(), 'A');
    EXPECT_EQ(irphy_read(), 'B');
    EXPECT_EQ(pty.pendingOnSlave(), 0U);
    // Nothing held: the previous byte again.
    EXPECT_EQ(irphy_read(), 'B');
}

TEST_F(Irphy, WaitWithTimeoutZeroPollsOnceAndGivesUp) {
    const auto start = Clock::now();
    EXPECT_FALSE(irphy_wait(0));
    // A negative time-out behaves like 0.
    EXPECT_FALSE(irphy_wait(-5));
    // Only against a wait that ignores or wraps its time-out (a wrapped -5 lasts 65 s), so far
    // above one poll that a loaded machine stays inside.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

TEST_F(Irphy, WaitSpansItsTimeout) {
    const auto start = Clock::now();
    EXPECT_FALSE(irphy_wait(20));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
}

TEST_F(Irphy, AByteArrivingDuringAWaitEndsItAndIsHeld) {
    // The wait blocks in the port; the time-out is far longer than the test may take.
    auto waiting = std::async(std::launch::async, [] { return irphy_wait(30000); });
    pty.writeMaster({0x5A});
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(waiting.get());
    EXPECT_TRUE(irphy_wait(0));
    EXPECT_EQ(irphy_read(), 0x5A);
    // A short wait after that still times out.
    EXPECT_FALSE(irphy_wait(5));
}

TEST_F(Irphy, FramesTravelThroughTheByteLink) {
    const std::vector<uint8_t> content{0xFF, 0x3F, 0x01, 0xC0, 0x7D, 0xC1};
    sirSendFrame(irphyByteLink(), content.data(), static_cast<uint16_t>(content.size()));
    const std::vector<uint8_t> wire = sirWrap(content);
    EXPECT_EQ(sirUnwrapAll(pty.readMaster(wire.size())),
              std::vector<std::vector<uint8_t>>{content});

    pty.writeMaster(wire);
    ASSERT_TRUE(pty.waitPendingOnSlave(wire.size()));
    RxFrame frame{};
    ASSERT_EQ(sirReceiveFrame(irphyByteLink(), frame), content.size());
    EXPECT_TRUE(std::equal(content.begin(), content.end(), frame.begin()));
}

} // namespace
