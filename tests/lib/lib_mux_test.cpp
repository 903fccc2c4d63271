// Two library ports joined through their pseudo-terminals by a relay: a device listening on two
// services at once from two threads and a computer opening both channels over one link; bytes
// each way on each channel byte-exact, a refused selector and too many channels answered with
// error codes, and one channel's close leaving the other going.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "irstack.h"
#include "pty_pair.h"

namespace {

constexpr int WAIT_MS = 20000;
constexpr size_t BYTES = 4096;
const char* const BULK_CLASS = "Bulk";
const char* const BULK_ATTRIBUTE = "TinyTP:LsapSel";

// Copies what each master reads to the other until it is destroyed.
class Relay {
  public:
    Relay(int a, int b) : thread([this, a, b] { run(a, b); }) {}
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;
    ~Relay() {
        running.store(false);
        thread.join();
    }

  private:
    void run(int a, int b) {
        std::array<uint8_t, 512> chunk{};
        while (running.load()) {
            std::array<pollfd, 2> ends{{{a, POLLIN, 0}, {b, POLLIN, 0}}};
            if (poll(ends.data(), ends.size(), 20) <= 0) {
                continue;
            }
            for (size_t i = 0; i < ends.size(); ++i) {
                const ssize_t count = (ends[i].revents & POLLIN) != 0
                                          ? read(ends[i].fd, chunk.data(), chunk.size())
                                          : 0;
                for (ssize_t done = 0; done < count;) {
                    const ssize_t moved = write(i == 0 ? b : a, chunk.data() + done,
                                                static_cast<size_t>(count - done));
                    done += moved > 0 ? moved : count;
                }
            }
        }
    }

    std::atomic<bool> running{true};
    std::thread thread;
};

std::string pattern(int tag) {
    std::string text(BYTES, '\0');
    for (size_t i = 0; i < BYTES; ++i) {
        text[i] = static_cast<char>((tag * 31 + static_cast<int>(i * 7 + i / 253)) & 0xFF);
    }
    return text;
}

TEST(LibMux, TwoChannelsOverOneLinkEachWayAndTheirLimits) {
    PtyPair computerSide;
    PtyPair deviceSide;
    if (!computerSide.open() || !deviceSide.open()) {
        GTEST_SKIP() << "no pseudo-terminals";
    }
    const Relay relay(computerSide.masterFd(), deviceSide.masterFd());
    irs_port* computer = nullptr;
    irs_port* device = nullptr;
    ASSERT_EQ(irs_open(computerSide.slaveName().c_str(), 'b', 115200, IRS_ROLE_COMPUTER, &computer),
              IRS_OK);
    ASSERT_EQ(irs_open(deviceSide.slaveName().c_str(), 'b', 115200, IRS_ROLE_DEVICE, &device),
              IRS_OK);
    // Both services offered before the computer asks; then a thread waits on each.
    irs_channel* none = nullptr;
    ASSERT_EQ(irs_listen(device, nullptr, nullptr, IRS_MODE_IRCOMM, 0, &none), IRS_ERR_TIMEOUT);
    ASSERT_EQ(irs_listen(device, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW, 0, &none),
              IRS_ERR_TIMEOUT);
    std::array<irs_channel*, 4> ends{}; // computer's and device's end of each channel in turn
    std::atomic<int> listened0{1};
    std::atomic<int> listened1{1};
    std::thread first([&] {
        listened0.store(irs_listen(device, nullptr, nullptr, IRS_MODE_IRCOMM, WAIT_MS, &ends[1]));
    });
    std::thread second([&] {
        listened1.store(
            irs_listen(device, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW, WAIT_MS, &ends[3]));
    });
    EXPECT_EQ(irs_connect(computer, nullptr, nullptr, IRS_MODE_IRCOMM, WAIT_MS, &ends[0]), IRS_OK);
    EXPECT_EQ(irs_connect(computer, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW, WAIT_MS, &ends[2]),
              IRS_OK);
    first.join();
    second.join();
    ASSERT_EQ(listened0.load(), IRS_OK);
    ASSERT_EQ(listened1.load(), IRS_OK);

    std::array<std::string, 4> out{pattern(0), pattern(1), pattern(2), pattern(3)};
    std::array<std::string, 4> in;
    std::array<size_t, 4> sent{};
    std::array<char, 512> buffer{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    auto done = [&] {
        return in[0].size() == BYTES && in[1].size() == BYTES && in[2].size() == BYTES &&
               in[3].size() == BYTES;
    };
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        for (size_t i = 0; i < ends.size(); ++i) {
            const long queued = irs_write(ends[i], out[i].data() + sent[i], BYTES - sent[i], 0);
            sent[i] += queued > 0 && sent[i] < BYTES ? static_cast<size_t>(queued) : 0;
            const long count = irs_read(ends[i], buffer.data(), buffer.size(), 2);
            if (count > 0) {
                in[i].append(buffer.data(), static_cast<size_t>(count));
            }
        }
    }
    EXPECT_TRUE(in[1] == out[0] && in[0] == out[1]) << "IrCOMM channel";
    EXPECT_TRUE(in[3] == out[2] && in[2] == out[3]) << "raw channel";

    // A selector the device does not offer is refused; two more services fill the link.
    irs_channel* more = nullptr;
    EXPECT_EQ(irs_connect_lsap(computer, 9, IRS_MODE_RAW, WAIT_MS, &more), IRS_ERR_NO_SERVICE);
    std::array<irs_channel*, 2> extra{};
    for (size_t i = 0; i < extra.size(); ++i) {
        const std::string name(1, static_cast<char>('C' + i));
        EXPECT_EQ(irs_listen(device, name.c_str(), "Sel", IRS_MODE_RAW, 0, &none), IRS_ERR_TIMEOUT);
        EXPECT_EQ(irs_connect(computer, name.c_str(), "Sel", IRS_MODE_RAW, WAIT_MS, &extra[i]),
                  IRS_OK);
    }
    EXPECT_EQ(irs_connect(computer, BULK_CLASS, BULK_ATTRIBUTE, IRS_MODE_RAW, WAIT_MS, &more),
              IRS_ERR_NO_MEMORY);
    EXPECT_EQ(more, nullptr);

    // The computer closes the raw channel: the device's end learns it, the IrCOMM one goes on.
    EXPECT_EQ(irs_channel_close(ends[2]), IRS_OK);
    EXPECT_EQ(irs_read(ends[3], buffer.data(), buffer.size(), WAIT_MS), IRS_ERR_PEER_GONE);
    EXPECT_EQ(irs_write(ends[1], "ping", 4, WAIT_MS), 4);
    EXPECT_EQ(irs_read(ends[0], buffer.data(), 4, WAIT_MS), 4);
    EXPECT_EQ(std::string(buffer.data(), 4), "ping");
    EXPECT_EQ(irs_channel_close(ends[2]), IRS_ERR_HANDLE); // closed already
    for (irs_channel* channel : {ends[0], ends[1], ends[3], extra[0], extra[1]}) {
        EXPECT_EQ(irs_channel_close(channel), IRS_OK);
    }
    EXPECT_EQ(irs_close(computer), IRS_OK);
    EXPECT_EQ(irs_close(device), IRS_OK);
}

} // namespace
