// Handles after their close: every call on a port or channel handle once closed answers
// IRS_ERR_HANDLE though its place is reused; and as many ports as the header allows at once.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "irstack.h"
#include "lib_ends.h"
#include "pty_pair.h"

namespace {

// Every port call answers IRS_ERR_HANDLE, and nothing else.
void expectDeadPort(irs_port* port, const std::string& what) {
    SCOPED_TRACE(what);
    irs_device devices[1];
    irs_channel* channel = nullptr;
    irs_port_state state{};
    EXPECT_EQ(irs_set_link_limits(port, 3, 256), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_port_status(port, &state), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_discover(port, 10, devices, 1), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_connect(port, nullptr, nullptr, IRS_MODE_RAW, 0, &channel), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_connect_lsap(port, 4, IRS_MODE_RAW, 0, &channel), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_listen(port, nullptr, nullptr, IRS_MODE_RAW, 0, &channel), IRS_ERR_HANDLE);
    irs_ias_value values[1];
    EXPECT_EQ(irs_query(port, "Device", "DeviceName", 0, values, 1), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_set_identity(port, "name", 0), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_close(port), IRS_ERR_HANDLE);
}

void expectDeadChannel(irs_channel* channel, const std::string& what) {
    SCOPED_TRACE(what);
    char byte = 0;
    irs_channel_state state{};
    EXPECT_EQ(irs_read(channel, &byte, 1, 0), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_read(channel, nullptr, 0, -1), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_write(channel, &byte, 1, 0), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_write(channel, nullptr, 0, -1), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_available(channel), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_fd(channel), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_channel_status(channel, &state), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_channel_status(channel, nullptr), IRS_ERR_HANDLE);
    irs_channel_info info{};
    EXPECT_EQ(irs_channel_describe(channel, &info), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_channel_set_linger(channel, 0), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_channel_abort(channel), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_channel_close(channel), IRS_ERR_HANDLE);
}

constexpr int LINK_MS = 20000;

// The address as its number reads, written without the library's help.
std::string addressText(uint32_t address) {
    std::array<char, 9> digits{};
    std::snprintf(digits.data(), digits.size(), "%08X", address);
    const std::string hex(digits.data());
    return hex.substr(0, 2) + "-" + hex.substr(2, 2) + "-" + hex.substr(4, 2) + "-" +
           hex.substr(6, 2);
}

// A device listening in the background; its channel, or null.
std::future<irs_channel*> listenOn(irs_port* device) {
    return std::async(std::launch::async, [device] {
        irs_channel* channel = nullptr;
        return irs_listen(device, nullptr, nullptr, IRS_MODE_RAW, LINK_MS, &channel) == IRS_OK
                   ? channel
                   : nullptr;
    });
}

// A handle once closed stays dead, though its port's slot or its channel's lane is handed out
// again, and a handle of one kind is never taken for the other.
class LibHandles : public AirEnds {};
IRS_BOTH_TRANSPORTS(LibHandles);

TEST_P(LibHandles, ClosedHandlesStayDeadWhenTheirPlaceIsReused) {
    irs_port* first = nullptr;
    ASSERT_EQ(open(0, 'a', 9600, IRS_ROLE_COMPUTER, &first), IRS_OK);
    ASSERT_EQ(irs_close(first), IRS_OK);
    irs_port* computer = nullptr;
    irs_port* device = nullptr;
    ASSERT_EQ(open(0, 'a', 9600, IRS_ROLE_COMPUTER, &computer), IRS_OK);
    ASSERT_EQ(open(1, 'a', 9600, IRS_ROLE_DEVICE, &device), IRS_OK);
    EXPECT_NE(computer, first);

    // A channel closed, and the same lane opened again over a new link.
    std::vector<std::pair<irs_channel*, std::string>> deadChannels;
    irs_channel* channel = nullptr;
    for (int round = 0; round < 2; ++round) {
        auto listened = listenOn(device);
        if (round == 0) {
            // The device's address reads as the number, in discovery and in the status.
            irs_device found[1];
            ASSERT_EQ(irs_discover(computer, 3000, found, 1), 1);
            EXPECT_EQ(found[0].address_text, addressText(found[0].address));
        }
        ASSERT_EQ(irs_connect(computer, nullptr, nullptr, IRS_MODE_RAW, LINK_MS, &channel), IRS_OK);
        irs_port_state linked{};
        ASSERT_EQ(irs_port_status(computer, &linked), IRS_OK);
        EXPECT_EQ(linked.peer_text, addressText(linked.peer_address));
        irs_channel* far = listened.get();
        ASSERT_NE(far, nullptr);
        EXPECT_EQ(irs_write(channel, "x", 1, LINK_MS), 1);
        char byte = 0;
        EXPECT_EQ(irs_read(far, &byte, 1, LINK_MS), 1);
        if (round == 0) {
            EXPECT_EQ(irs_channel_close(channel), IRS_OK);
            EXPECT_EQ(irs_read(far, &byte, 1, LINK_MS), IRS_ERR_PEER_GONE);
            EXPECT_EQ(irs_channel_close(far), IRS_OK);
            deadChannels.emplace_back(channel, "closed channel, its lane open again");
            deadChannels.emplace_back(far, "closed far channel, its lane open again");
        }
    }
    irs_channel_state state{};
    EXPECT_EQ(irs_channel_status(channel, &state), IRS_OK) << "the live channel is untouched";
    expectDeadPort(first, "closed port, its slot reused");
    EXPECT_EQ(irs_port_status(computer, nullptr), IRS_ERR_ARG) << "the slot's new port lives";
    expectDeadPort(reinterpret_cast<irs_port*>(channel), "a channel handle as a port");
    deadChannels.emplace_back(reinterpret_cast<irs_channel*>(computer), "a port handle");
    deadChannels.emplace_back(nullptr, "null");
    deadChannels.emplace_back(reinterpret_cast<irs_channel*>(&air), "an address");
    ASSERT_EQ(irs_close(computer), IRS_OK);
    deadChannels.emplace_back(channel, "channel of a closed port");
    for (const auto& [dead, what] : deadChannels) {
        expectDeadChannel(dead, what);
    }
    expectDeadPort(computer, "closed port");
    expectDeadPort(nullptr, "null");
    EXPECT_EQ(irs_close(device), IRS_OK);
}

TEST(LibPorts, AsManyPortsAsTheHeaderAllowsRunAtOnce) {
    std::array<PtyPair, IRS_PORTS_MAX + 1> ptys;
    for (PtyPair& pty : ptys) {
        if (!pty.open()) {
            GTEST_SKIP() << "not enough pseudo-terminals";
        }
    }
    std::array<irs_port*, IRS_PORTS_MAX> ports{};
    for (size_t i = 0; i < ports.size(); ++i) {
        ASSERT_EQ(irs_open(ptys.at(i).slaveName().c_str(), 'b', 0, IRS_ROLE_DEVICE, &ports.at(i)),
                  IRS_OK)
            << i;
        // A listen that times out leaves the station running.
        irs_channel* channel = nullptr;
        EXPECT_EQ(irs_listen(ports.at(i), nullptr, nullptr, IRS_MODE_RAW, 0, &channel),
                  IRS_ERR_TIMEOUT);
    }
    for (irs_port* port : ports) {
        irs_port_state state{};
        ASSERT_EQ(irs_port_status(port, &state), IRS_OK);
        EXPECT_EQ(state.phase, IRS_PHASE_SEARCHING);
    }
    irs_port* more = nullptr;
    EXPECT_EQ(irs_open(ptys.back().slaveName().c_str(), 'b', 0, IRS_ROLE_DEVICE, &more),
              IRS_ERR_NO_MEMORY);
    for (irs_port* port : ports) {
        EXPECT_EQ(irs_close(port), IRS_OK);
    }
}

} // namespace
