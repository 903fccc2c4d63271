// A computer and a device of the library linked in one process, through two pseudo-terminals
// whose far ends a thread joins as the air would: what irs_channel_status says over a channel's
// life, up to its end with bytes the peer never acknowledged.
#include <gtest/gtest.h>

#include <array>
#include <future>

#include "irstack.h"
#include "lib_air.h"

namespace {

constexpr int CONNECT_MS = 20000;

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
    EXPECT_STREQ(port.peer_text, "34-12-CD-AB");
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
    EXPECT_EQ(irs_channel_status(channel, &state), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_close(computer), IRS_OK);
}

} // namespace
