// A computer and a device of the library linked in one process, through two pseudo-terminals
// whose far ends a thread joins as the air would: what irs_channel_status says over a channel's
// life, up to its end with bytes the peer never acknowledged; a transfer driven by the channels'
// descriptors alone, and the ways a channel ends (a close that delivers, a peer out of range, an
// abort), each seen by the other side.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <poll.h>
#include <string>
#include <tuple>
#include <utility>

#include "deadline.h"
#include "irstack.h"
#include "lib_ends.h"

namespace {

constexpr int CONNECT_MS = 20000;
constexpr int END_MS = 10000;

std::string pattern(size_t size, int tag) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((tag * 31 + static_cast<int>(i * 7 + i / 251)) & 0xFF);
    }
    return text;
}

// A raw channel from the computer to the device's listen: {computer's end, device's end}.
std::pair<irs_channel*, irs_channel*> link(irs_port* computer, irs_port* device) {
    auto listened = std::async(std::launch::async, [device] {
        irs_channel* channel = nullptr;
        return irs_listen(device, nullptr, nullptr, IRS_MODE_RAW, CONNECT_MS, &channel) == IRS_OK
                   ? channel
                   : nullptr;
    });
    irs_channel* channel = nullptr;
    EXPECT_EQ(irs_connect(computer, nullptr, nullptr, IRS_MODE_RAW, CONNECT_MS, &channel), IRS_OK);
    return {channel, listened.get()};
}

// Reads until the channel ends; what came, and the end's code.
std::pair<std::string, long> readToEnd(irs_channel* channel) {
    std::string got;
    std::array<char, 1024> buffer{};
    long count = 0;
    while ((count = irs_read(channel, buffer.data(), buffer.size(), END_MS)) > 0) {
        got.append(buffer.data(), static_cast<size_t>(count));
    }
    return {got, count};
}

irs_port_state portState(irs_port* port) {
    irs_port_state state{};
    EXPECT_EQ(irs_port_status(port, &state), IRS_OK);
    return state;
}

class LibChannel : public AirEnds {};
IRS_BOTH_TRANSPORTS(LibChannel);

TEST_P(LibChannel, StatusFollowsTheChannelToItsEnd) {
    irs_port* computer = nullptr;
    irs_port* device = nullptr;
    ASSERT_EQ(open(0, 'a', 9600, IRS_ROLE_COMPUTER, &computer), IRS_OK);
    ASSERT_EQ(open(1, 'a', 9600, IRS_ROLE_DEVICE, &device), IRS_OK);
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

    // The device goes out of range: what the computer queues now is never acknowledged.
    air.cut(true);
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
    EXPECT_EQ(irs_channel_close(channel), IRS_ERR_PEER_GONE); // ended with bytes unacknowledged
    EXPECT_EQ(irs_channel_status(channel, &state), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_close(computer), IRS_OK);
}

TEST_P(LibChannel, DescriptorsDriveATransferAndEveryEndReachesThePeer) {
    irs_port* computer = nullptr;
    irs_port* device = nullptr;
    ASSERT_EQ(open(0, 'b', 115200, IRS_ROLE_COMPUTER, &computer), IRS_OK);
    ASSERT_EQ(open(1, 'b', 115200, IRS_ROLE_DEVICE, &device), IRS_OK);
    irs_channel* channel = nullptr;
    irs_channel* far = nullptr;
    std::tie(channel, far) = link(computer, device);
    ASSERT_NE(channel, nullptr);
    ASSERT_NE(far, nullptr);

    // 64 KB with a write only when the descriptor says there is room and a read only when it says
    // bytes wait: neither ever comes back empty.
    const int out = irs_fd(channel);
    const int in = irs_fd(far);
    ASSERT_GE(out, 0);
    ASSERT_GE(in, 0);
    const std::string sent = pattern(65536, 1);
    std::string got;
    size_t written = 0;
    int emptyWrites = 0;
    int emptyReads = 0;
    std::array<char, 2048> buffer{};
    const Deadline transfer(std::chrono::seconds(120));
    while (got.size() < sent.size() && !transfer.passed()) {
        const short wanted = written < sent.size() ? POLLOUT : 0;
        std::array<pollfd, 2> polled{{{out, wanted, 0}, {in, POLLIN, 0}}};
        if (poll(polled.data(), polled.size(), 1000) <= 0) {
            continue;
        }
        if ((polled[0].revents & POLLOUT) != 0) {
            const long queued = irs_write(channel, sent.data() + written, sent.size() - written, 0);
            written += queued > 0 ? static_cast<size_t>(queued) : 0;
            emptyWrites += queued > 0 ? 0 : 1;
        }
        if ((polled[1].revents & POLLIN) != 0) {
            const long count = irs_read(far, buffer.data(), buffer.size(), 0);
            got.append(buffer.data(), count > 0 ? static_cast<size_t>(count) : 0);
            emptyReads += count > 0 ? 0 : 1;
        }
    }
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
    EXPECT_EQ(emptyWrites, 0);
    EXPECT_EQ(emptyReads, 0);
    // Nothing waits: neither descriptor is readable.
    std::array<pollfd, 2> idle{{{out, POLLIN, 0}, {in, POLLIN, 0}}};
    EXPECT_EQ(poll(idle.data(), idle.size(), 0), 0);

    // The computer closes its last channel with bytes queued: the device reads every one, then
    // the end, told by the computer rather than found by its own give-up (no error kept).
    EXPECT_EQ(irs_channel_set_linger(channel, -1), IRS_ERR_ARG);
    EXPECT_EQ(irs_channel_set_linger(channel, 600001), IRS_ERR_ARG);
    EXPECT_EQ(irs_channel_set_linger(channel, 30000), IRS_OK);
    const std::string tail = pattern(6000, 2);
    const long queued = irs_write(channel, tail.data(), tail.size(), 0);
    ASSERT_GT(queued, 0);
    auto reader = std::async(std::launch::async, [far] { return readToEnd(far); });
    EXPECT_EQ(irs_channel_close(channel), IRS_OK);
    EXPECT_EQ(irs_channel_set_linger(channel, 0), IRS_ERR_HANDLE);
    const auto [delivered, end] = reader.get();
    EXPECT_TRUE(delivered == tail.substr(0, static_cast<size_t>(queued)));
    EXPECT_EQ(end, IRS_ERR_PEER_GONE);
    EXPECT_EQ(portState(computer).phase, IRS_PHASE_IDLE);
    irs_port_state deviceState = portState(device);
    EXPECT_EQ(deviceState.phase, IRS_PHASE_IDLE);
    EXPECT_STREQ(deviceState.last_error, "");
    EXPECT_EQ(irs_channel_close(far), IRS_OK);

    // The device goes out of range: both sides give up, go quiet and say why.
    std::tie(channel, far) = link(computer, device);
    ASSERT_NE(channel, nullptr);
    ASSERT_NE(far, nullptr);
    air.cut(true);
    EXPECT_EQ(readToEnd(channel).second, IRS_ERR_PEER_GONE);
    EXPECT_EQ(readToEnd(far).second, IRS_ERR_PEER_GONE);
    for (int side = 0; side < 2; ++side) {
        const irs_port_state state = portState(side == 0 ? computer : device);
        EXPECT_EQ(state.phase, IRS_PHASE_IDLE);
        EXPECT_STREQ(state.last_error, "peer gone: no answer for 2.5 s") << side;
    }
    EXPECT_EQ(irs_channel_close(channel), IRS_OK);
    EXPECT_EQ(irs_channel_close(far), IRS_OK);
    air.cut(false);

    // The device aborts with bytes queued that the computer never reads: the computer learns of
    // the end from the device, so keeps no error, and holds no more than was sent.
    std::tie(channel, far) = link(computer, device);
    ASSERT_NE(channel, nullptr);
    ASSERT_NE(far, nullptr);
    const std::string unread = pattern(4000, 3);
    EXPECT_GT(irs_write(far, unread.data(), unread.size(), 0), 0);
    EXPECT_EQ(irs_channel_abort(far), IRS_OK);
    EXPECT_EQ(irs_channel_abort(far), IRS_ERR_HANDLE);
    const auto [partial, aborted] = readToEnd(channel);
    EXPECT_TRUE(unread.compare(0, partial.size(), partial) == 0);
    EXPECT_EQ(aborted, IRS_ERR_PEER_GONE);
    EXPECT_EQ(irs_channel_close(channel), IRS_OK);
    const irs_port_state computerState = portState(computer);
    EXPECT_EQ(computerState.phase, IRS_PHASE_IDLE);
    EXPECT_STREQ(computerState.last_error, "");
    EXPECT_EQ(irs_close(computer), IRS_OK);
    EXPECT_EQ(irs_close(device), IRS_OK);
}

TEST_P(LibChannel, DiscoveryFindsTheDeviceAsItNamedItselfAndReturns) {
    irs_port* computer = nullptr;
    irs_port* device = nullptr;
    ASSERT_EQ(open(0, 'a', 9600, IRS_ROLE_COMPUTER, &computer), IRS_OK);
    ASSERT_EQ(open(1, 'a', 9600, IRS_ROLE_DEVICE, &device), IRS_OK);
    ASSERT_EQ(irs_set_identity(device, "Kitchen radio", 0x0404), IRS_OK);
    // A device answers discovery while a listen waits; the port's close ends the listen.
    auto listen = std::async(std::launch::async, [device] {
        irs_channel* unused = nullptr;
        return irs_listen(device, nullptr, nullptr, IRS_MODE_RAW, 60000, &unused);
    });
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
    EXPECT_EQ(listen.get(), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_close(computer), IRS_OK);
}

} // namespace
