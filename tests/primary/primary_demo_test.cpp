// The real program on a pseudo-terminal: its first discovery frame reaches the wire after the start
// delay.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "child_wait.h"
#include "memory_link.h"
#include "wire_frames.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(PrimaryDemo, FirstXidGoesOutAfterTheStartDelayAndEndOfInputEndsTheProgram) {
    int master = -1;
    int slave = -1;
    std::array<char, 128> slaveName{};
    ASSERT_EQ(openpty(&master, &slave, slaveName.data(), nullptr, nullptr), 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
    std::array<int, 2> input{};
    ASSERT_EQ(pipe(input.data()), 0);

    const Clock::time_point start = Clock::now();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(input[0], STDIN_FILENO);
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        close(input[1]);
        close(master);
        execl(PRIMARY_DEMO_PATH, PRIMARY_DEMO_PATH, slaveName.data(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);

    std::vector<uint8_t> wire;
    std::vector<std::vector<uint8_t>> frames;
    Clock::time_point firstByte{};
    while (frames.empty() && Clock::now() - start < std::chrono::seconds(10)) {
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) {
            continue;
        }
        std::array<uint8_t, 256> chunk{};
        const ssize_t count = read(master, chunk.data(), chunk.size());
        if (count <= 0) {
            break;
        }
        if (wire.empty()) {
            firstByte = Clock::now();
        }
        wire.insert(wire.end(), chunk.begin(), chunk.begin() + count);
        frames = sirUnwrapAll(wire);
    }

    close(input[1]); // end of input: the program must end as with 99
    int status = 0;
    const pid_t ended = waitChild(child, status);
    close(master);
    close(slave);

    ASSERT_FALSE(frames.empty());
    const std::vector<uint8_t>& firstXid = wire::FIRST_XID;
    EXPECT_EQ(frames[0], firstXid);
    EXPECT_EQ(wire, sirWrap(firstXid));
    // No upper bound: the clock also runs over the program's start-up, which a loaded or
    // sanitized run can stretch; the start delay's length in steps is the engine tests' part.
    EXPECT_GT(firstByte - start, std::chrono::milliseconds(500));
    EXPECT_EQ(ended, child) << "the program did not end at the end of its input";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
