// The POSIX host layer against a real pseudo-terminal: configuration, byte transparency,
// time-outs, exclusive open and Windows error numbers.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <future>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "port_setup.h"
#include "pty_pair.h"
#include "win32.h"

namespace {

constexpr DWORD READ_WRITE = GENERIC_READ | GENERIC_WRITE;

HANDLE openPort(const std::string& name) {
    return CreateFileA(name.c_str(), READ_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// The configuration both port forms apply.
bool configure(HANDLE port, DWORD speed) {
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(port, &timeouts);
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    GetCommState(port, &dcb);
    portSetupFields(dcb, speed);
    return SetCommState(port, &dcb) != FALSE;
}

std::vector<uint8_t> readPort(HANDLE port, const PtyPair& pty, size_t count) {
    std::vector<uint8_t> bytes;
    std::array<uint8_t, 512> chunk{};
    while (bytes.size() < count && pty.waitPendingOnSlave(1)) {
        DWORD got = 0;
        if (ReadFile(port, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) ==
                FALSE ||
            got == 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
    }
    return bytes;
}

class HostPort : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!pty.open()) {
            GTEST_SKIP() << "no pseudo-terminals on this system";
        }
        port = openPort(pty.slaveName());
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_TRUE(configure(port, 9600));
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
        }
    }

    PtyPair pty;
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST(HostPortName, ComNamesMapToSerialDevices) {
    std::array<char, 64> out{};
    ASSERT_TRUE(hostPortName("COM1", out.data(), out.size()));
    EXPECT_STREQ(out.data(), "/dev/ttyS0");
    ASSERT_TRUE(hostPortName("com12", out.data(), out.size()));
    EXPECT_STREQ(out.data(), "/dev/ttyS11");
}

TEST(HostPortName, OtherNamesAreUsedAsTheyStand) {
    std::array<char, 64> out{};
    for (const char* name : {"/dev/ttyUSB0", "/dev/pts/7", "COM", "COM0", "COM1x", "COMA"}) {
        ASSERT_TRUE(hostPortName(name, out.data(), out.size()));
        EXPECT_STREQ(out.data(), name);
    }
}

TEST(HostPortName, TooLongGivesAnEmptyName) {
    std::array<char, 8> out{};
    EXPECT_FALSE(hostPortName("/dev/ttyUSB0", out.data(), out.size()));
    EXPECT_STREQ(out.data(), "");
    EXPECT_FALSE(hostPortName("COM1", out.data(), 4));
}

TEST(HostOpen, MissingPortIsFileNotFound) {
    EXPECT_EQ(openPort("/dev/no-such-port"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(HostOpen, OnlyOpenExistingIsOffered) {
    EXPECT_EQ(CreateFileA("/dev/null", READ_WRITE, 0, nullptr, 2, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(HostOpen, ClosedHandleIsInvalid) {
    EXPECT_EQ(CloseHandle(INVALID_HANDLE_VALUE), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD got = 0;
    uint8_t byte = 0;
    EXPECT_EQ(ReadFile(INVALID_HANDLE_VALUE, &byte, 1, &got, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(HostPort, ConfigurationIsVisibleOnTheFarEnd) {
    const termios settings = pty.slaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0U);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0U);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0U);
    EXPECT_EQ(settings.c_oflag & OPOST, 0U);

    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600U);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_DISABLE);
}

TEST_F(HostPort, SpeedChangeIsVisibleOnTheFarEnd) {
    ASSERT_TRUE(configure(port, 115200));
    const termios settings = pty.slaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200));
}

TEST_F(HostPort, RefusedSpeedFailsAndKeepsTheOldOne) {
    EXPECT_FALSE(configure(port, 12345));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    const termios settings = pty.slaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600U);
}

TEST_F(HostPort, EveryByteValuePassesBothWays) {
    const std::vector<uint8_t> bytes = allByteValues();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(pty.readMaster(bytes.size()), bytes);

    pty.writeMaster(bytes);
    EXPECT_EQ(readPort(port, pty, bytes.size()), bytes);
}

TEST_F(HostPort, WriteReturnsWhenEveryByteIsWritten) {
    // Far more than the pty buffers hold, so the write has to wait for the far end.
    std::vector<uint8_t> bytes(100000);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7);
    }
    auto reader = std::async(std::launch::async, [&] { return pty.readMaster(bytes.size()); });
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(reader.get(), bytes);
}

TEST_F(HostPort, ReadWithNothingWaitingReturnsAtOnce) {
    std::array<uint8_t, 16> buffer{};
    DWORD got = 99;
    BOOL done = FALSE;
    EXPECT_TRUE(pty.returnsWithoutInput([&] {
        done = ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
    }));
    EXPECT_TRUE(done);
    EXPECT_EQ(got, 0U);
}

TEST_F(HostPort, FirstByteReadWaitsOnlyForTheFirstByte) {
    // MAXDWORD interval and multiplier: what is there at once, else the first byte within the
    // constant. The constant is far longer than the test may take, so waiting it out fails.
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 30000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    std::array<uint8_t, 16> buffer{};
    const auto read = [&] {
        DWORD got = 0;
        ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
        return got;
    };
    pty.writeMaster({1, 2, 3});
    ASSERT_TRUE(pty.waitPendingOnSlave(3));
    auto first = std::async(std::launch::async, read);
    ASSERT_EQ(first.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(first.get(), 3U);
    auto blocked = std::async(std::launch::async, read);
    pty.writeMaster({4});
    ASSERT_EQ(blocked.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(blocked.get(), 1U);
    EXPECT_EQ(buffer[0], 4);

    timeouts.ReadTotalTimeoutConstant = 20;
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(), 0U);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

TEST_F(HostPort, PurgeDropsWaitingInput) {
    pty.writeMaster({1, 2, 3});
    ASSERT_TRUE(pty.waitPendingOnSlave(3));
    COMSTAT status{};
    DWORD errors = 1;
    ASSERT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(errors, 0U);
    EXPECT_EQ(status.cbInQue, 3U);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
    EXPECT_EQ(pty.pendingOnSlave(), 0U);
}

TEST_F(HostPort, SecondOpenIsAccessDenied) {
    EXPECT_EQ(openPort(pty.slaveName()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(HostPort, OpenFromAnotherProcessIsAccessDenied) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const HANDLE second = openPort(pty.slaveName());
        _exit(second == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(HostPort, ClosingLetsTheNextOpenerIn) {
    ASSERT_TRUE(CloseHandle(port));
    EXPECT_FALSE(CloseHandle(port));
    port = openPort(pty.slaveName());
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
}

TEST_F(HostPort, ModemLinesFailQuietlyOnAPseudoTerminal) {
    // A pty has no modem-control lines; the calls report it and nothing else happens.
    for (const DWORD function : {SETDTR, CLRDTR, SETRTS, CLRRTS}) {
        EXPECT_FALSE(EscapeCommFunction(port, function));
    }
    EXPECT_FALSE(EscapeCommFunction(port, 77));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    pty.writeMaster({0x42});
    EXPECT_EQ(readPort(port, pty, 1), std::vector<uint8_t>{0x42});
}

TEST(HostLastError, IsKeptPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    std::thread other([] { SetLastError(ERROR_INVALID_PARAMETER); });
    other.join();
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

std::promise<DWORD>* threadResult = nullptr;

DWORD WINAPI reportParameter(LPVOID parameter) {
    threadResult->set_value(*static_cast<DWORD*>(parameter));
    return 0;
}

TEST(HostThread, RunsTheRoutineWithItsParameter) {
    std::promise<DWORD> result;
    threadResult = &result;
    DWORD parameter = 4242;
    DWORD id = 0;
    const HANDLE thread = CreateThread(nullptr, 0, reportParameter, &parameter, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0U);
    EXPECT_EQ(result.get_future().get(), 4242U);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(HostTime, TickAdvancesAcrossASleep) {
    const DWORD before = GetTickCount();
    Sleep(5);
    EXPECT_GE(GetTickCount() - before, 5U);
}

} // namespace
