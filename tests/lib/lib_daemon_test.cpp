// The library as irstackd's client: a scripted daemon in a thread serves a temporary socket
// folder, and the library's calls through irstackd:NAME are held to what it was told.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "deadline.h"
#include "irsd_msg.h"
#include "irsd_wire.h"
#include "irstack.h"

namespace {

constexpr int WAIT_MS = 5000;

// One client's connection as the daemon sees it.
struct Client {
    int sock = -1;
    IrsdReceiver in;
    IrsdSender out;

    // The next request, or false at the deadline or the client's end.
    bool next(IrsdMsg& msg) {
        const Deadline deadline;
        while (!deadline.passed()) {
            const int taken = irsdTakeMessage(in, msg, IrsdFrom::CLIENT);
            if (taken != 0) {
                return taken == 1;
            }
            pollfd watched{sock, POLLIN, 0};
            if (poll(&watched, 1, 100) > 0 && irsdReceive(sock, in) != IrsdRead::DATA) {
                return false;
            }
        }
        return false;
    }
    IrsdMsg expect(uint8_t type) {
        IrsdMsg msg;
        EXPECT_TRUE(next(msg)) << "no request of type " << int{type};
        EXPECT_EQ(msg.type, type);
        return msg;
    }
    void send(IrsdMsg& msg) {
        ASSERT_EQ(irsdQueue(out, msg), IRSD_OK);
        msg.fd = -1; // the queue owns it
        const Deadline deadline;
        while (irsdSendPending(out) && !deadline.passed()) {
            ASSERT_EQ(irsdFlush(out, sock), IRSD_OK);
        }
    }
    // The reply to `request` with `status` and the numbers after it.
    void reply(const IrsdMsg& request, int32_t status, std::initializer_list<uint32_t> numbers = {},
               int fd = -1) {
        IrsdMsg msg;
        irsdInit(msg, request.type | IRSD_REPLY, request.id);
        msg.num.at(IRSD_STATUS) = static_cast<uint32_t>(status);
        uint8_t field = 1;
        for (const uint32_t number : numbers) {
            msg.num.at(field++) = number;
        }
        msg.fd = fd;
        send(msg);
    }
    void greet(int role = IRS_ROLE_COMPUTER) {
        reply(expect(IRSD_HELLO), IRSD_OK, {IRSD_VERSION, 4, 4, 8});
        const IrsdMsg open = expect(IRSD_OPEN);
        EXPECT_EQ(irsdText(open, IRSD_OPEN_NAME), "ir0");
        EXPECT_EQ(open.num.at(IRSD_OPEN_ROLE), static_cast<uint32_t>(role));
        reply(open, IRSD_OK);
    }
};

// A daemon's socket folder with the port ir0, and a script for its first client.
struct FakeDaemon {
    explicit FakeDaemon(std::function<void(Client&)> script) {
        std::string pattern = "/tmp/irsd_fake_XXXXXX";
        dir = mkdtemp(pattern.data());
        setenv("IRSTACK_SOCKET_DIR", dir.c_str(), 1);
        listener = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s/ir0", dir.c_str());
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener, 4), 0);
        thread = std::thread([this, script] {
            pollfd watched{listener, POLLIN, 0};
            ASSERT_GT(poll(&watched, 1, 30000), 0) << "no client came";
            Client client;
            client.sock = accept(listener, nullptr, nullptr);
            script(client);
            irsdReceiverClear(client.in);
            irsdSenderClear(client.out);
            close(client.sock);
        });
    }
    ~FakeDaemon() {
        thread.join();
        close(listener);
        unlink((dir + "/ir0").c_str());
        rmdir(dir.c_str());
    }
    std::string dir;
    int listener = -1;
    std::thread thread;
};

void sendEnded(Client& client, uint32_t id, int32_t reason) {
    IrsdMsg event;
    irsdInit(event, IRSD_EV_CHANNEL_ENDED, 0);
    event.num.at(IRSD_ENDED_CHANNEL) = id;
    event.num.at(IRSD_ENDED_REASON) = static_cast<uint32_t>(reason);
    client.send(event);
}

std::string readAll(int sock, size_t length) {
    std::string got;
    const Deadline deadline;
    while (got.size() < length && !deadline.passed()) {
        std::array<char, 64> bytes{};
        pollfd watched{sock, POLLIN, 0};
        if (poll(&watched, 1, 100) > 0) {
            const ssize_t n = read(sock, bytes.data(), bytes.size());
            if (n <= 0) {
                break;
            }
            got.append(bytes.data(), static_cast<size_t>(n));
        }
    }
    return got;
}

TEST(LibDaemon, AChannelThroughTheDaemonCarriesBytesBothWaysAndEndsAsTold) {
    FakeDaemon daemon([](Client& client) {
        client.greet();
        const IrsdMsg connect = client.expect(IRSD_CONNECT);
        EXPECT_EQ(irsdText(connect, IRSD_SVC_CLASS), "") << "IrCOMM's service by an empty class";
        EXPECT_EQ(connect.num.at(IRSD_SVC_MODE), uint32_t{IRS_MODE_RAW});
        EXPECT_EQ(irsdInt(connect, IRSD_CONNECT_LSAP), -1);
        std::array<int, 2> ends{};
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends.data()), 0);
        client.reply(connect, IRSD_OK, {7}, ends[0]);
        EXPECT_EQ(readAll(ends[1], 5), "hello");
        EXPECT_EQ(write(ends[1], "world", 5), 5);
        // Two requests pending at once from two threads; answered in the other order.
        IrsdMsg first;
        IrsdMsg second;
        ASSERT_TRUE(client.next(first) && client.next(second));
        const IrsdMsg& status = first.type == IRSD_PORT_STATUS ? first : second;
        const IrsdMsg& describe = first.type == IRSD_PORT_STATUS ? second : first;
        EXPECT_EQ(describe.type, IRSD_CHANNEL_DESCRIBE);
        EXPECT_EQ(describe.num.at(IRSD_CHANNEL_ID), 7U);
        client.reply(status, IRSD_OK, {IRS_PHASE_OPEN, 0x3412CDAB, 115200, 0});
        client.reply(describe, IRSD_OK, {0x12, 0x05, IRS_MODE_RAW});
        // The end: the last bytes, the event, then the socket's end.
        EXPECT_EQ(write(ends[1], "tail", 4), 4);
        sendEnded(client, 7, IRSD_ERR_PEER_GONE);
        close(ends[1]);
        const IrsdMsg close = client.expect(IRSD_CHANNEL_CLOSE);
        EXPECT_EQ(close.num.at(IRSD_CHANNEL_ID), 7U);
        EXPECT_EQ(irsdInt(close, IRSD_CLOSE_LINGER), 10000);
        client.reply(close, IRSD_ERR_PEER_GONE);
        // Discovery's devices come as items before the reply.
        const IrsdMsg discover = client.expect(IRSD_DISCOVER);
        IrsdMsg item;
        irsdInit(item, IRSD_ITEM_DEVICE, discover.id);
        item.num.at(IRSD_DEVICE_ADDRESS) = 0x3412CDAB;
        item.num.at(IRSD_DEVICE_HINTS) = 0x0482; // PDA/Palmtop, IrCOMM
        irsdSetText(item, IRSD_DEVICE_NICKNAME, "phone");
        EXPECT_EQ(discover.num.at(IRSD_DISCOVER_MAX), 1U);
        client.send(item);
        client.send(item); // more than asked for: never stored past the caller's table
        client.reply(discover, IRSD_OK, {2});
        // An error the daemon answers, and a connection dropped while a call waits.
        client.reply(client.expect(IRSD_QUERY), IRSD_ERR_NO_SERVICE, {0});
        client.expect(IRSD_CONNECT);
    });
    irs_port* port = nullptr;
    ASSERT_EQ(irs_open("irstackd:ir0", 'b', 0, IRS_ROLE_COMPUTER, &port), IRS_OK);
    irs_channel* channel = nullptr;
    EXPECT_EQ(irs_connect(port, nullptr, nullptr, 9, WAIT_MS, &channel), IRS_ERR_ARG)
        << "checked as in-process, before the daemon hears of it";
    EXPECT_EQ(irs_listen(port, nullptr, nullptr, IRS_MODE_RAW, WAIT_MS, &channel), IRS_ERR_STATE);
    EXPECT_EQ(irs_set_identity(port, "phone", 0), IRS_ERR_STATE);
    EXPECT_EQ(irs_discover(port, 0, nullptr, 1), IRS_ERR_ARG);
    EXPECT_EQ(irs_query(port, "", "Parameters", WAIT_MS, nullptr, 1), IRS_ERR_ARG);
    ASSERT_EQ(irs_connect(port, nullptr, nullptr, IRS_MODE_RAW, WAIT_MS, &channel), IRS_OK);
    ASSERT_GE(irs_fd(channel), 0);
    EXPECT_EQ(irs_channel_set_linger(channel, -1), IRS_ERR_ARG);
    EXPECT_EQ(irs_write(channel, nullptr, 1, WAIT_MS), IRS_ERR_ARG);
    std::array<char, 16> buffer{};
    EXPECT_EQ(irs_read(channel, buffer.data(), buffer.size(), 0), IRS_ERR_TIMEOUT);
    EXPECT_EQ(irs_write(channel, "hello", 5, WAIT_MS), 5);
    EXPECT_EQ(irs_read(channel, buffer.data(), 2, WAIT_MS), 2);
    EXPECT_EQ(irs_available(channel), 3);
    EXPECT_EQ(irs_read(channel, buffer.data() + 2, 3, WAIT_MS), 3);
    EXPECT_EQ(std::string(buffer.data(), 5), "world");

    irs_channel_info info{};
    std::thread other([&] { EXPECT_EQ(irs_channel_describe(channel, &info), IRS_OK); });
    irs_port_state state{};
    EXPECT_EQ(irs_port_status(port, &state), IRS_OK);
    other.join();
    EXPECT_EQ(state.phase, IRS_PHASE_OPEN);
    EXPECT_STREQ(state.peer_text, "34-12-CD-AB");
    EXPECT_EQ(state.speed, 115200U);
    EXPECT_EQ(info.local_lsap, 0x12);
    EXPECT_EQ(info.peer_lsap, 0x05);

    long got = 0;
    std::string tail;
    while ((got = irs_read(channel, buffer.data(), buffer.size(), WAIT_MS)) > 0) {
        tail.append(buffer.data(), static_cast<size_t>(got));
    }
    EXPECT_EQ(tail, "tail") << "the bytes before the end are read first";
    EXPECT_EQ(got, IRS_ERR_PEER_GONE);
    EXPECT_EQ(irs_write(channel, "x", 1, WAIT_MS), IRS_ERR_PEER_GONE);
    EXPECT_EQ(irs_channel_close(channel), IRS_ERR_PEER_GONE);
    EXPECT_EQ(irs_read(channel, buffer.data(), buffer.size(), 0), IRS_ERR_HANDLE);

    std::array<irs_device, 2> devices{};
    ASSERT_EQ(irs_discover(port, 1000, devices.data(), 1), 1);
    EXPECT_EQ(devices[1].address, 0U);
    EXPECT_STREQ(devices[0].address_text, "34-12-CD-AB");
    EXPECT_STREQ(devices[0].nickname, "phone");
    EXPECT_STREQ(devices[0].hint_names, "PDA/Palmtop, IrCOMM");

    std::array<irs_ias_value, 2> values{};
    EXPECT_EQ(irs_query(port, "IrDA:IrCOMM", "Parameters", WAIT_MS, values.data(), 2),
              IRS_ERR_NO_SERVICE);
    EXPECT_EQ(irs_connect(port, "X", "Y", IRS_MODE_RAW, WAIT_MS, &channel), IRS_ERR_PORT_LOST);
    EXPECT_EQ(irs_port_status(port, &state), IRS_OK);
    EXPECT_NE(state.port_error, 0U) << "a daemon gone reads as a port lost";
    EXPECT_EQ(irs_close(port), IRS_OK);
}

TEST(LibDaemon, ClosingThePortEndsAReadWaitingWithoutLimit) {
    std::array<int, 2> ends{};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends.data()), 0);
    FakeDaemon daemon([&ends](Client& client) {
        client.greet(IRS_ROLE_DEVICE);
        const IrsdMsg listen = client.expect(IRSD_LISTEN);
        EXPECT_EQ(irsdText(listen, IRSD_SVC_CLASS), "Echo");
        EXPECT_EQ(irsdInt(listen, IRSD_SVC_TIMEOUT), -1);
        client.reply(listen, IRSD_OK, {3}, ends[0]);
        client.reply(client.expect(IRSD_CLOSE_PORT), IRSD_OK);
    });
    irs_port* port = nullptr;
    ASSERT_EQ(irs_open("irstackd:ir0", 'a', 0, IRS_ROLE_DEVICE, &port), IRS_OK);
    irs_channel* channel = nullptr;
    ASSERT_EQ(irs_listen(port, "Echo", "Port", IRS_MODE_RAW, -1, &channel), IRS_OK);
    std::thread reader([channel] {
        std::array<char, 8> buffer{};
        EXPECT_EQ(irs_read(channel, buffer.data(), buffer.size(), -1), IRS_ERR_HANDLE);
    });
    EXPECT_EQ(irs_close(port), IRS_OK);
    reader.join();
    close(ends[1]);
}

TEST(LibDaemon, BytesTheDaemonStillPassesAfterTellingOfTheEndAreReadBeforeIt) {
    std::array<int, 2> ends{};
    std::array<int, 2> go{};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends.data()), 0);
    ASSERT_EQ(pipe(go.data()), 0);
    FakeDaemon daemon([&](Client& client) {
        client.greet();
        client.reply(client.expect(IRSD_CONNECT), IRSD_OK, {7}, ends[0]);
        sendEnded(client, 7, IRSD_ERR_PEER_GONE);
        // A time-out past what the margin can add to stays one, not a wrapped number.
        const IrsdMsg discover = client.expect(IRSD_DISCOVER);
        EXPECT_EQ(irsdInt(discover, IRSD_DISCOVER_TIMEOUT), INT_MAX);
        client.reply(discover, IRSD_OK, {0});
        pollfd started{go[0], POLLIN, 0};
        ASSERT_EQ(poll(&started, 1, WAIT_MS), 1);
        EXPECT_EQ(write(ends[1], "abcdef", 6), 6);
        close(ends[1]);
    });
    irs_port* port = nullptr;
    ASSERT_EQ(irs_open("irstackd:ir0", 'a', 0, IRS_ROLE_COMPUTER, &port), IRS_OK);
    irs_channel* channel = nullptr;
    ASSERT_EQ(irs_connect(port, "Echo", "Port", IRS_MODE_RAW, WAIT_MS, &channel), IRS_OK);
    std::array<irs_device, 2> devices{};
    // Its reply comes after the end's event, which the library has taken by then.
    EXPECT_EQ(irs_discover(port, INT_MAX, devices.data(), 2), 0);
    std::thread starter([&go] { EXPECT_EQ(write(go[1], "g", 1), 1); });
    std::string got;
    long last = 0;
    std::array<char, 4> buffer{};
    while ((last = irs_read(channel, buffer.data(), buffer.size(), WAIT_MS)) > 0) {
        got.append(buffer.data(), static_cast<size_t>(last));
    }
    starter.join();
    EXPECT_EQ(got, "abcdef");
    EXPECT_EQ(last, IRS_ERR_PEER_GONE);
    irs_channel_abort(channel);
    irs_close(port);
    close(go[0]);
    close(go[1]);
}

TEST(LibDaemon, ARefusedUserAnAbsentDaemonAndBadNamesEachHaveTheirCode) {
    {
        // As the daemon refuses: at once, before any request, so with no request's id.
        FakeDaemon daemon([](Client& client) {
            IrsdMsg error;
            irsdInit(error, IRSD_ERROR, 0);
            error.num.at(IRSD_STATUS) = static_cast<uint32_t>(IRSD_ERR_ACCESS);
            error.num.at(IRSD_ERROR_R_VERSION) = IRSD_VERSION;
            client.send(error);
        });
        irs_port* port = nullptr;
        EXPECT_EQ(irs_open("irstackd:ir0", 'a', 0, IRS_ROLE_DEVICE, &port), IRS_ERR_ACCESS);
        EXPECT_EQ(port, nullptr);
        EXPECT_STREQ(irs_strerror(IRS_ERR_ACCESS), "not allowed");
        // No daemon in the folder any longer.
        unlink((daemon.dir + "/ir0").c_str());
        EXPECT_EQ(irs_open("irstackd:ir0", 'a', 0, IRS_ROLE_DEVICE, &port), IRS_ERR_PORT);
        EXPECT_EQ(irs_open("irstackd:", 'a', 0, IRS_ROLE_DEVICE, &port), IRS_ERR_ARG);
        EXPECT_EQ(irs_open("irstackd:../ir0", 'a', 0, IRS_ROLE_DEVICE, &port), IRS_ERR_ARG);
        EXPECT_EQ(irs_open("irstackd:ir0", 'z', 0, IRS_ROLE_DEVICE, &port), IRS_ERR_ARG);
    }
}

} // namespace
