// The real secondary_demo on a pseudo-terminal: a discovery frame written to the other end is
// answered on the wire byte for byte.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_wait.h"
#include "memory_link.h"
#include "wire_frames.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Reads from fd until `done` holds or the time runs out.
template <typename Done>
void readUntil(int fd, Bytes& into, Done done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done(into) && Clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 50) <= 0) {
            continue;
        }
        std::array<uint8_t, 256> chunk{};
        const ssize_t got = read(fd, chunk.data(), chunk.size());
        if (got <= 0) {
            return;
        }
        into.insert(into.end(), chunk.begin(), chunk.begin() + got);
    }
}

bool contains(const Bytes& haystack, const std::string& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

TEST(SecondaryDemoOnPty, AnswersDiscoveryInSlotZeroOnTheWire) {
    int master = -1;
    int slave = -1;
    std::array<char, 128> slaveName{};
    ASSERT_EQ(openpty(&master, &slave, slaveName.data(), nullptr, nullptr), 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(master, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(master, TCSANOW, &raw), 0);

    std::array<int, 2> toProgram{};
    std::array<int, 2> fromProgram{};
    ASSERT_EQ(pipe(toProgram.data()), 0);
    ASSERT_EQ(pipe(fromProgram.data()), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(toProgram[0], STDIN_FILENO);
        dup2(fromProgram[1], STDOUT_FILENO);
        close(toProgram[1]);
        close(fromProgram[0]);
        close(master);
        close(slave);
        execl(SECONDARY_DEMO_EXE, SECONDARY_DEMO_EXE, slaveName.data(), nullptr);
        _exit(127);
    }
    close(toProgram[0]);
    close(fromProgram[1]);
    close(slave); // the program opens the slave by its name

    Bytes console;
    readUntil(
        fromProgram[0], console, [](const Bytes& b) { return contains(b, "99 Exit"); },
        std::chrono::seconds(10));
    ASSERT_TRUE(contains(console, "\nVantrel secondary_demo Secondary Demo v007")) << "no banner";

    const Bytes command = sirWrap(wire::FIRST_XID);
    ASSERT_EQ(write(master, command.data(), command.size()), static_cast<ssize_t>(command.size()));
    const Bytes expected = sirWrap(wire::XID_RESPONSE);
    Bytes wire;
    readUntil(
        master, wire, [&expected](const Bytes& b) { return b.size() >= expected.size(); },
        std::chrono::seconds(10));
    EXPECT_EQ(wire, expected);

    close(toProgram[1]); // end of input ends the program as 99 does
    readUntil(
        fromProgram[0], console, [](const Bytes& b) { return contains(b, "\n\tEOT"); },
        std::chrono::seconds(5));
    int status = -1;
    ASSERT_EQ(waitChild(child, status), child) << "the program did not end at the end of its input";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(contains(console, "\nIrLAP addr:\t34-12-CD-AB"));
    EXPECT_TRUE(contains(console, "\n\tEOT"));
    close(fromProgram[0]);
    close(master);
}

} // namespace
