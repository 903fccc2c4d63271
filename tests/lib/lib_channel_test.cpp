// A computer and a device of the library linked in one process, through two pseudo-terminals
// whose far ends a thread joins as the air would: what irs_channel_status says over a channel's
// life, up to its end with bytes the peer never acknowledged; and a discovery that finds the
// device as it named itself and returns once it has.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <future>
#include <poll.h>
#include <pty.h>
#include <thread>
#include <unistd.h>

#include "deadline.h"
#include "irstack.h"

namespace {

constexpr int CONNECT_MS = 20000;

// Two pseudo-terminals; a thread carries what is written on either far end to the other.
class Air {
  public:
    Air() {
        for (End& end : ends) {
            std::array<char, 128> path{};
            opened = opened && openpty(&end.master, &end.slave, path.data(), nullptr, nullptr) == 0;
            end.name = path.data();
        }
        if (opened) {
            carrier = std::thread([this] { carry(); });
        }
    }
    Air(const Air&) = delete;
    Air& operator=(const Air&) = delete;
    ~Air() {
        running.store(false);
        if (carrier.joinable()) {
            carrier.join();
        }
        for (const End& end : ends) {
            for (const int fd : {end.master, end.slave}) {
                if (fd >= 0) {
                    close(fd);
                }
            }
        }
    }
    bool opened = true;
    const std::string& name(int index) const { return ends.at(static_cast<size_t>(index)).name; }

  private:
    struct End {
        int master = -1;
        // Held open, so the far end never hangs up while a station reopens its port.
        int slave = -1;
        std::string name;
    };

    void carry() {
        std::array<pollfd, 2> polled{{{ends[0].master, POLLIN, 0}, {ends[1].master, POLLIN, 0}}};
        std::array<uint8_t, 512> buffer{};
        while (running.load()) {
            if (poll(polled.data(), polled.size(), 20) <= 0) {
                continue;
            }
            for (size_t from = 0; from < polled.size(); ++from) {
                if (polled[from].revents == 0) {
                    continue;
                }
                const ssize_t count = read(polled[from].fd, buffer.data(), buffer.size());
                if (count <= 0) {
                    polled[from].fd = -1; // hung up: poll leaves it alone
                } else if (write(ends[1 - from].master, buffer.data(),
                                 static_cast<size_t>(count)) != count) {
                    ADD_FAILURE() << "the air dropped bytes";
                }
            }
        }
    }

    std::array<End, 2> ends{};
    std::atomic<bool> running{true};
    std::thread carrier;
};

TEST(LibChannel, StatusFollowsTheChannelToItsEnd) {
    Air air;
    if (!air.opened) {
        GTEST_SKIP() << "no pseudo-terminals";
    }
    irs_port* computer = nullptr;
    irs_port* device = nullptr;
    ASSERT_EQ(irs_open(air.name(0).c_str(), 'a', 9600, IRS_ROLE_COMPUTER, &computer), IRS_OK);
    ASSERT_EQ(irs_open(air.name(1).c_str(), 'a', 9600, IRS_ROLE_DEVICE, &device), IRS_OK);
    auto listened = std::async(std::launch::async, [device] {
        irs_channel* channel = nullptr;
        return irs_listen(device, nullptr, nullptr, IRS_MODE_RAW, CONNECT_MS, &channel) == IRS_OK
                   ? channel
                   : nullptr;
    });
    irs_channel* channel = nullptr;
    ASSERT_EQ(irs_connect(computer, nullptr, nullptr, IRS_MODE_RAW, CONNECT_MS, &channel), IRS_OK);
    irs_channel* far = listened.get();
    ASSERT_NE(far, nullptr);

    irs_port_state port{};
    ASSERT_EQ(irs_port_status(computer, &port), IRS_OK);
    EXPECT_EQ(port.phase, IRS_PHASE_OPEN);
    EXPECT_EQ(std::strlen(port.peer_text), 11U);
    EXPECT_STRNE(port.peer_text, "AB-CD-12-34") << "an address drawn, not the demo's";
    EXPECT_STRNE(port.peer_text, "34-12-CD-AB");
    EXPECT_EQ(port.speed, 9600U);
    irs_channel_state state{};
    ASSERT_EQ(irs_channel_status(channel, &state), IRS_OK);
    EXPECT_EQ(state.open, 1);
    EXPECT_GT(state.room, 0);

    const std::array<char, 5> hello{'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(irs_write(far, hello.data(), hello.size(), 5000), 5);
    std::array<char, 8> got{};
    ASSERT_EQ(irs_read(channel, got.data(), 1, 5000), 1); // the rest came in the same frame
    ASSERT_EQ(irs_channel_status(channel, &state), IRS_OK);
    EXPECT_EQ(state.available, 4);

    // The device goes: what the computer queues now is never acknowledged.
    ASSERT_EQ(irs_close(device), IRS_OK);
    const std::array<char, 100> unheard{};
    ASSERT_EQ(irs_write(channel, unheard.data(), unheard.size(), 5000), 100);
    long read = 0;
    while ((read = irs_read(channel, got.data(), got.size(), 10000)) > 0) {
    }
    EXPECT_EQ(read, IRS_ERR_PEER_GONE);
    ASSERT_EQ(irs_channel_status(channel, &state), IRS_OK);
    EXPECT_EQ(state.open, 0);
    EXPECT_EQ(state.room, 0);
    EXPECT_EQ(state.available, 0);
    EXPECT_EQ(state.unacknowledged, 100);
    EXPECT_EQ(irs_channel_close(channel), IRS_OK);
    EXPECT_EQ(irs_channel_status(channel, &state), IRS_ERR_STATE);
    EXPECT_EQ(irs_close(computer), IRS_OK);
}

TEST(LibChannel, DiscoveryFindsTheDeviceAsItNamedItselfAndReturns) {
    Air air;
    if (!air.opened) {
        GTEST_SKIP() << "no pseudo-terminals";
    }
    irs_port* computer = nullptr;
    irs_port* device = nullptr;
    ASSERT_EQ(irs_open(air.name(0).c_str(), 'a', 9600, IRS_ROLE_COMPUTER, &computer), IRS_OK);
    ASSERT_EQ(irs_open(air.name(1).c_str(), 'a', 9600, IRS_ROLE_DEVICE, &device), IRS_OK);
    ASSERT_EQ(irs_set_identity(device, "Kitchen radio", 0x0404), IRS_OK);
    // A listen that times out leaves the device answering discovery.
    irs_channel* unused = nullptr;
    ASSERT_EQ(irs_listen(device, nullptr, nullptr, IRS_MODE_RAW, 0, &unused), IRS_ERR_TIMEOUT);
    // Far longer than the deadline: only a discovery that returns after its round meets it.
    constexpr int SEARCH_MS = 50000;
    std::array<irs_device, 2> found{};
    auto search = std::async(std::launch::async, [computer, &found] {
        return irs_discover(computer, SEARCH_MS, found.data(), static_cast<int>(found.size()));
    });
    const Deadline deadline;
    while (search.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready &&
           !deadline.passed()) {
    }
    if (deadline.passed()) {
        ADD_FAILURE() << "the discovery waited out its time-out";
    } else {
        ASSERT_EQ(search.get(), 1);
        EXPECT_STREQ(found[0].nickname, "Kitchen radio");
        EXPECT_STREQ(found[0].hint_names, "Computer, IrCOMM");
        EXPECT_EQ(found[0].hints & 0x7F7F, 0x0404);
    }
    EXPECT_EQ(irs_close(device), IRS_OK);
    EXPECT_EQ(irs_close(computer), IRS_OK);
}

} // namespace
