// The relay's stream on a second serial port (--serial) against real pseudo-terminal pairs: a port
// whose far end goes fails reads and writes with the reason, and opens again by the same name.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <poll.h>
#include <pty.h>
#include <string>
#include <unistd.h>

#include "byte_stream.h"
#include "win32.h"

namespace {

// A pair whose far end `link` names; the test holds the near end.
int pairBehind(const std::string& link) {
    int master = -1;
    int slave = -1;
    std::array<char, 128> name{};
    if (openpty(&master, &slave, name.data(), nullptr, nullptr) != 0) {
        return -1;
    }
    close(slave);
    unlink(link.c_str());
    return symlink(name.data(), link.c_str()) == 0 ? master : -1;
}

int readFor(HostStream& stream, std::array<uint8_t, 16>& buffer) {
    // Each read waits up to 1 s for a first byte; the deadline bounds the rounds.
    for (int round = 0; round < 10; ++round) {
        const int count = hostStreamRead(stream, buffer.data(), buffer.size(), 1000);
        if (count != 0) {
            return count;
        }
    }
    return 0;
}

} // namespace

TEST(HostSerialStream, FarEndGoneFailsAndTheSameNameOpensAgain) {
    std::array<char, 64> folder{};
    std::snprintf(folder.data(), folder.size(), "/tmp/relay-XXXXXX");
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    const std::string link = std::string(folder.data()) + "/pair";
    int master = pairBehind(link);
    if (master < 0) {
        GTEST_SKIP() << "no pseudo-terminals on this system";
    }
    HostStream stream;
    ASSERT_EQ(hostSerialStreamOpen(stream, link.c_str()), 0U);
    std::array<uint8_t, 16> buffer{};
    const std::atomic<bool> stop{false};

    close(master);
    EXPECT_EQ(readFor(stream, buffer), HOST_STREAM_FAILED);
    EXPECT_EQ(stream.error, static_cast<unsigned long>(ERROR_GEN_FAILURE));
    stream.error = 0;
    EXPECT_LT(hostStreamWrite(stream, buffer.data(), 4, stop), 4U);
    EXPECT_NE(stream.error, 0U);

    master = pairBehind(link);
    ASSERT_GE(master, 0);
    ASSERT_EQ(hostStreamReopen(stream), 0U);
    ASSERT_EQ(write(master, "AT\r", 3), 3);
    ASSERT_EQ(readFor(stream, buffer), 3);
    EXPECT_EQ(hostStreamWrite(stream, buffer.data(), 3, stop), 3U);
    pollfd ready{master, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 10000), 1);
    std::array<char, 4> echoed{};
    EXPECT_EQ(read(master, echoed.data(), echoed.size()), 3);

    hostStreamClose(stream);
    close(master);
    unlink(link.c_str());
    rmdir(folder.data());
}
