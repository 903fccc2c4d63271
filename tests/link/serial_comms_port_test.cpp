// SerialCommsPort against a real pseudo-terminal: table, open and reopen, failures and their
// messages, and bytes both ways.
#include <gtest/gtest.h>

#include <array>

#include "console_capture.h"
#include "pty_pair.h"
#include "serial_comms_port.h"

namespace {

class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        SerialCommsPort_construct(&port);
        SerialCommsPort_construct(&other);
        havePty = pty.open();
    }
    void TearDown() override {
        SerialCommsPort_close(&port);
        SerialCommsPort_close(&other);
    }
    bool openPty() { return port.ops.open(&port, pty.slaveName().c_str(), 9600) == 1; }

    // Static like the platform's port object; one per test is enough.
    SerialCommsPort port{};
    SerialCommsPort other{};
    PtyPair pty;
    bool havePty = false;
    ConsoleCapture console;
};

#define REQUIRE_PTY()                                                                              \
    if (!havePty)                                                                                  \
    GTEST_SKIP() << "no pseudo-terminals on this system"

TEST_F(SerialPort, ConstructionFillsTheTableInSlotOrderAndLeavesItClosed) {
    EXPECT_EQ(port.ops.init, SerialCommsPort_init);
    EXPECT_EQ(port.ops.open, SerialCommsPort_open);
    EXPECT_EQ(port.ops.transmitBlock, SerialCommsPort_transmitBlock);
    EXPECT_EQ(port.ops.receiveBlock, SerialCommsPort_receiveBlock);
    EXPECT_EQ(port.ops.close, SerialCommsPort_close);
    EXPECT_EQ(port.ops.isOpen, SerialCommsPort_isOpen);
    EXPECT_EQ(port.ops.setDtr, SerialCommsPort_setDtr);
    EXPECT_EQ(port.ops.setRts, SerialCommsPort_setRts);
    EXPECT_EQ(port.ops.getCts, SerialCommsPort_getCts);
    EXPECT_EQ(port.ops.getDsr, SerialCommsPort_getDsr);
    EXPECT_EQ(port.handle.load(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(port.ops.isOpen(&port), 0);
    EXPECT_EQ(port.ops.close(&port), 0);
}

TEST_F(SerialPort, ClosedPortDoesNothingAndSaysNothing) {
    std::array<uint8_t, 8> buffer{};
    port.ops.transmitBlock(&port, buffer.data(), static_cast<uint32_t>(buffer.size()));
    EXPECT_EQ(port.ops.receiveBlock(&port, buffer.data(), static_cast<uint32_t>(buffer.size())), 0);
    port.ops.setDtr(&port, 1);
    port.ops.setRts(&port, 1);
    EXPECT_EQ(port.ops.getCts(&port), 0);
    EXPECT_EQ(port.ops.getDsr(&port), 0);
    EXPECT_EQ(console.take(), "");
}

TEST_F(SerialPort, MissingPortPrintsTheCreateFileErrorAndStaysClosed) {
    EXPECT_EQ(port.ops.open(&port, "/dev/no-such-port", 9600), 0);
    EXPECT_EQ(console.take(), "SerialCommsPort_open: CreateFile error: 2");
    EXPECT_EQ(port.ops.isOpen(&port), 0);
}

TEST_F(SerialPort, OpensAtTheGivenSpeedRaw8N1) {
    REQUIRE_PTY();
    ASSERT_TRUE(openPty());
    EXPECT_EQ(port.ops.isOpen(&port), 1);
    const termios settings = pty.slaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL), 0U);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0U);
    EXPECT_EQ(port.dcb.BaudRate, 9600U);
    EXPECT_EQ(port.timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(console.take(), "");
}

TEST_F(SerialPort, EveryByteValuePassesBothWays) {
    REQUIRE_PTY();
    ASSERT_TRUE(openPty());
    const std::vector<uint8_t> bytes = allByteValues();
    port.ops.transmitBlock(&port, bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(pty.readMaster(bytes.size()), bytes);

    pty.writeMaster(bytes);
    std::vector<uint8_t> received;
    std::array<uint8_t, 115> buffer{};
    while (received.size() < bytes.size() && pty.waitPendingOnSlave(1)) {
        const int32_t count =
            port.ops.receiveBlock(&port, buffer.data(), static_cast<uint32_t>(buffer.size()));
        ASSERT_GT(count, 0);
        ASSERT_LE(count, 115);
        received.insert(received.end(), buffer.begin(), buffer.begin() + count);
    }
    EXPECT_EQ(received, bytes);
    EXPECT_EQ(console.take(), "");
}

TEST_F(SerialPort, ReceiveWithNothingWaitingReturnsAtOnce) {
    REQUIRE_PTY();
    ASSERT_TRUE(openPty());
    std::array<uint8_t, 115> buffer{};
    int32_t count = -1;
    EXPECT_TRUE(pty.returnsWithoutInput([&] {
        count = port.ops.receiveBlock(&port, buffer.data(), static_cast<uint32_t>(buffer.size()));
    }));
    EXPECT_EQ(count, 0);
}

TEST_F(SerialPort, PortHeldElsewhereIsAccessDenied) {
    REQUIRE_PTY();
    ASSERT_TRUE(openPty());
    EXPECT_EQ(other.ops.open(&other, pty.slaveName().c_str(), 9600), 0);
    EXPECT_EQ(console.take(), "SerialCommsPort_open: CreateFile error: 5");
    EXPECT_EQ(other.ops.isOpen(&other), 0);
    EXPECT_EQ(port.ops.isOpen(&port), 1);
}

TEST_F(SerialPort, OpenOnAnOpenPortClosesItFirst) {
    REQUIRE_PTY();
    ASSERT_TRUE(openPty());
    // Without the close the exclusive open of the same device would be refused.
    ASSERT_TRUE(openPty());
    EXPECT_EQ(console.take(), "");
    port.ops.transmitBlock(&port, std::array<uint8_t, 1>{0x5A}.data(), 1);
    EXPECT_EQ(pty.readMaster(1), std::vector<uint8_t>{0x5A});
    EXPECT_EQ(port.ops.close(&port), 1);
    EXPECT_EQ(port.ops.close(&port), 0);
}

TEST_F(SerialPort, RefusedSpeedPrintsTheSetCommStateErrorAndStaysOpen) {
    REQUIRE_PTY();
    EXPECT_EQ(port.ops.open(&port, pty.slaveName().c_str(), 12345), 0);
    EXPECT_EQ(console.take(), "SerialCommsPort_open: SetCommState error: 87");
    EXPECT_EQ(port.ops.isOpen(&port), 1);
}

TEST_F(SerialPort, LinesOnAPseudoTerminalFailQuietly) {
    REQUIRE_PTY();
    ASSERT_TRUE(openPty());
    port.ops.setDtr(&port, 1);
    port.ops.setRts(&port, 0);
    EXPECT_EQ(port.ops.getCts(&port), 0);
    EXPECT_EQ(port.ops.getDsr(&port), 0);
    EXPECT_EQ(console.take(), "");
}

} // namespace
