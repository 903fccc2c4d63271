// One real run of the vlink program over pseudo-terminals; every wait has a generous time-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "memory_link.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto PATIENCE = std::chrono::seconds(20);

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

int openPort(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    termios mode{};
    if (ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        tcgetattr(fd, &mode) != 0) {
        close(fd);
        return -1;
    }
    cfmakeraw(&mode);
    cfsetispeed(&mode, B9600);
    cfsetospeed(&mode, B9600);
    if (tcsetattr(fd, TCSANOW, &mode) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

class VlinkRun : public ::testing::Test {
  protected:
    void SetUp() override {
        std::array<char, 32> dirTemplate{"/tmp/vlink-run-XXXXXX"};
        ASSERT_NE(mkdtemp(dirTemplate.data()), nullptr);
        dir = dirTemplate.data();
        pathA = dir + "/ir-a";
        pathB = dir + "/ir-b";
        pcapPath = dir + "/capture.pcap";
        std::array<int, 2> errPipe{};
        ASSERT_EQ(pipe(errPipe.data()), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, errPipe[0]);
        posix_spawn_file_actions_addclose(&actions, errPipe[1]);
        std::string binary = VLINK_BINARY;
        std::string a = "--a";
        std::string b = "--b";
        std::string pcap = "--pcap";
        std::array<char*, 8> argv{binary.data(), a.data(),    pathA.data(),    b.data(),
                                  pathB.data(),  pcap.data(), pcapPath.data(), nullptr};
        ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(errPipe[1]);
        errFd = errPipe[0];
        ASSERT_NE(readErrUntil("ready", Clock::now() + PATIENCE), std::string::npos) << errText;
    }

    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (errFd >= 0) {
            close(errFd);
        }
        unlink(pathA.c_str());
        unlink(pathB.c_str());
        unlink(pcapPath.c_str());
        rmdir(dir.c_str());
    }

    // Reads vlink's stderr until text appears (its position) or the pipe closes (npos).
    size_t readErrUntil(const char* text, Clock::time_point deadline) {
        for (;;) {
            const size_t at = errText.find(text);
            if (at != std::string::npos) {
                return at;
            }
            pollfd entry{errFd, POLLIN, 0};
            if (poll(&entry, 1, remainingMs(deadline)) <= 0) {
                return std::string::npos;
            }
            std::array<char, 256> chunk{};
            const ssize_t got = read(errFd, chunk.data(), chunk.size());
            if (got <= 0) {
                return std::string::npos;
            }
            errText.append(chunk.data(), static_cast<size_t>(got));
        }
    }

    std::string dir;
    std::string pathA;
    std::string pathB;
    std::string pcapPath;
    pid_t pid = -1;
    int errFd = -1;
    std::string errText;
};

// Writes both texts and reads both ends until each has everything or the deadline passes.
void exchange(int fdA, int fdB, const std::vector<uint8_t>& toB, const std::vector<uint8_t>& toA,
              std::vector<uint8_t>& atA, std::vector<uint8_t>& atB) {
    const Clock::time_point deadline = Clock::now() + PATIENCE;
    size_t sentA = 0;
    size_t sentB = 0;
    while ((atA.size() < toA.size() || atB.size() < toB.size()) && remainingMs(deadline) > 0) {
        std::array<pollfd, 2> fds{{
            {fdA, static_cast<short>(POLLIN | (sentA < toB.size() ? POLLOUT : 0)), 0},
            {fdB, static_cast<short>(POLLIN | (sentB < toA.size() ? POLLOUT : 0)), 0},
        }};
        if (poll(fds.data(), fds.size(), remainingMs(deadline)) <= 0) {
            break;
        }
        if ((fds[0].revents & POLLOUT) != 0) {
            const ssize_t n = write(fdA, toB.data() + sentA, toB.size() - sentA);
            sentA += n > 0 ? static_cast<size_t>(n) : 0;
        }
        if ((fds[1].revents & POLLOUT) != 0) {
            const ssize_t n = write(fdB, toA.data() + sentB, toA.size() - sentB);
            sentB += n > 0 ? static_cast<size_t>(n) : 0;
        }
        std::array<uint8_t, 512> chunk{};
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = read(fdA, chunk.data(), chunk.size());
            atA.insert(atA.end(), chunk.begin(), chunk.begin() + (n > 0 ? n : 0));
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const ssize_t n = read(fdB, chunk.data(), chunk.size());
            atB.insert(atB.end(), chunk.begin(), chunk.begin() + (n > 0 ? n : 0));
        }
    }
}

} // namespace

TEST_F(VlinkRun, CarriesEveryByteValueBothWaysAndCleansUp) {
    // A program that closes and reopens its port finds the end still working.
    const int first = openPort(pathA);
    ASSERT_GE(first, 0);
    close(first);
    const int fdA = openPort(pathA);
    const int fdB = openPort(pathB);
    ASSERT_GE(fdA, 0);
    ASSERT_GE(fdB, 0);
    EXPECT_LT(openPort(pathB), 0) << "a second program got the same port";

    std::vector<uint8_t> toB(256);
    std::vector<uint8_t> toA(256);
    for (int i = 0; i < 256; ++i) {
        toB[i] = static_cast<uint8_t>(i);
        toA[i] = static_cast<uint8_t>(255 - i);
    }
    // One frame each way for the capture.
    const std::vector<uint8_t> xid{0xFF, 0x3F, 0x01, 0xC0};
    const std::vector<uint8_t> rr{0x03, 0x11};
    const std::vector<uint8_t> xidWire = sirWrap(xid);
    const std::vector<uint8_t> rrWire = sirWrap(rr);
    toB.insert(toB.end(), xidWire.begin(), xidWire.end());
    toA.insert(toA.end(), rrWire.begin(), rrWire.end());
    std::vector<uint8_t> atA;
    std::vector<uint8_t> atB;
    const Clock::time_point start = Clock::now();
    exchange(fdA, fdB, toB, toA, atA, atB);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(atB, toB);
    EXPECT_EQ(atA, toA);
    // 256 bytes and more, of 10 bits at 9600 bit/s, cannot arrive in less than 266 ms.
    EXPECT_GE(elapsed, std::chrono::milliseconds(266));
    close(fdA);
    close(fdB);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    readErrUntil("no such text", Clock::now() + PATIENCE); // until vlink closes its stderr
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << errText;
    struct stat info {};
    EXPECT_NE(lstat(pathA.c_str(), &info), 0);
    EXPECT_NE(lstat(pathB.c_str(), &info), 0);
    EXPECT_NE(errText.find("2 frames captured"), std::string::npos) << errText;

    FILE* file = std::fopen(pcapPath.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::array<uint8_t, 256> capture{};
    const size_t size = std::fread(capture.data(), 1, capture.size(), file);
    std::fclose(file);
    ASSERT_EQ(size, 24U + 16 + 16 + xid.size() + 16 + 16 + rr.size());
    EXPECT_EQ(capture[20], 144); // link type
    // The two frames may be in either order: each behind its pseudo-header, without framing.
    std::vector<uint8_t> firstEnd{0x00, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x17};
    firstEnd.insert(firstEnd.end(), xid.begin(), xid.end());
    std::vector<uint8_t> secondEnd{0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x17};
    secondEnd.insert(secondEnd.end(), rr.begin(), rr.end());
    const std::vector<uint8_t> content(capture.begin(), capture.begin() + static_cast<long>(size));
    auto contains = [&](const std::vector<uint8_t>& part) {
        return std::search(content.begin(), content.end(), part.begin(), part.end()) !=
               content.end();
    };
    EXPECT_TRUE(contains(firstEnd));
    EXPECT_TRUE(contains(secondEnd));
}
