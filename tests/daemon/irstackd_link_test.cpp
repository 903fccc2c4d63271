// irstackd serving a real link: the daemon on one end of a pair of pseudo-terminals joined as the
// air joins two transceivers, the library on the other. Clients speak the protocol alone.
// The daemon as the computer carries a client's 16 KB each way through the socket it passed,
// while a second client, killed in the middle of its own transfer, has its channel disconnected
// toward the peer without disturbing the first; after that link has ended, the peer connects in
// as the computer to a service a client offered with a listen.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "child_wait.h"
#include "irsd_test_client.h"
#include "irstack.h"
#include "lib_air.h"

namespace {

constexpr size_t BYTES = 16 * 1024;
const char* const ECHO_CLASS = "Echo";

std::string pattern(int tag, size_t length) {
    std::string text(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        text[i] = static_cast<char>((tag * 31 + static_cast<int>(i * 7 + i / 253)) & 0xFF);
    }
    return text;
}

// The library's end of a channel: sends back all it reads until the channel ends.
struct Echo {
    void start(irs_port* port, const char* className, int mode) {
        thread = std::thread([this, port, className, mode] {
            irs_channel* channel = nullptr;
            listened.store(irs_listen(port, className,
                                      className != nullptr ? LSAP_ATTRIBUTE : nullptr, mode,
                                      WAIT_MS, &channel));
            if (listened.load() != IRS_OK) {
                return;
            }
            std::array<char, 1024> buffer{};
            for (;;) {
                const long got = irs_read(channel, buffer.data(), buffer.size(), 200);
                if (got == IRS_ERR_TIMEOUT) {
                    continue;
                }
                if (got < 0) {
                    endedAt.store(std::chrono::steady_clock::now().time_since_epoch().count());
                    break;
                }
                for (long put = 0; put < got;) {
                    const long more = irs_write(channel, buffer.data() + put,
                                                static_cast<size_t>(got - put), WAIT_MS);
                    if (more <= 0) {
                        break;
                    }
                    put += more;
                }
            }
            irs_channel_abort(channel);
        });
    }
    void join() {
        if (thread.joinable()) {
            thread.join();
        }
    }
    std::thread thread;
    std::atomic<int> listened{1};
    std::atomic<int64_t> endedAt{0};
};

// The reply of `type`, skipping events and items.
bool awaitReply(Client& client, uint8_t type, IrsdMsg& reply) {
    while (client.receive(reply)) {
        if (reply.type == (type | IRSD_REPLY)) {
            return true;
        }
    }
    return false;
}

// Sends `out` through the channel's socket and reads as much back; `midway` runs once half of
// it has come back.
std::string echoThrough(int fd, const std::string& out, const std::function<void()>& midway) {
    std::string back;
    size_t sent = 0;
    bool halfway = false;
    const Deadline deadline;
    while (back.size() < out.size() && !deadline.passed()) {
        pollfd p{fd, static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        if ((p.revents & POLLOUT) != 0) {
            const ssize_t put =
                send(fd, out.data() + sent, std::min<size_t>(out.size() - sent, 2048),
                     MSG_DONTWAIT | MSG_NOSIGNAL);
            sent += put > 0 ? static_cast<size_t>(put) : 0;
        }
        if ((p.revents & (POLLIN | POLLHUP)) != 0) {
            std::array<char, 2048> buffer{};
            const ssize_t got = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got == 0) {
                break;
            }
            back.append(buffer.data(), static_cast<size_t>(std::max<ssize_t>(got, 0)));
        }
        if (!halfway && back.size() >= out.size() / 2 && midway) {
            halfway = true;
            midway();
        }
    }
    return back;
}

TEST(IrstackdLink, ChannelsBothWaysAKilledClientAndAConnectIn) {
    Air air;
    ASSERT_TRUE(air.opened);
    char dirTemplate[] = "/tmp/irstackd-link-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = std::string(dirTemplate) + "/sockets";
    int errorPipe = -1;
    const pid_t daemon = startDaemon(
        dir, {"--group", ownGroup(), "--max-speed", "115200", "ir0=" + air.name(0)}, errorPipe);
    ASSERT_GT(daemon, 0);
    // A failed assertion leaves no daemon behind.
    std::unique_ptr<const pid_t, void (*)(const pid_t*)> reaper(&daemon, [](const pid_t* pid) {
        int ignored = 0;
        kill(*pid, SIGKILL);
        waitpid(*pid, &ignored, 0);
    });
    ASSERT_TRUE(waitForText(errorPipe, "serving ir0"));
    const std::string path = dir + "/ir0";

    irs_port* device = nullptr;
    ASSERT_EQ(irs_open(air.name(1).c_str(), 'a', 115200, IRS_ROLE_DEVICE, &device), IRS_OK);
    Echo comm;
    Echo raw;
    comm.start(device, nullptr, IRS_MODE_IRCOMM);
    raw.start(device, ECHO_CLASS, IRS_MODE_RAW);

    // A client's limits: four requests waiting, then the next is refused; all go when it leaves.
    {
        Client greedy(path);
        openPort(greedy);
        for (const char* name : {"S1", "S2", "S3", "S4"}) {
            IrsdMsg listen = serviceRequest(IRSD_LISTEN, name, 1);
            listen.num[IRSD_SVC_TIMEOUT] = static_cast<uint32_t>(-1);
            greedy.sendMsg(listen);
        }
        IrsdMsg discover;
        IrsdMsg refused;
        irsdInit(discover, IRSD_DISCOVER, 0);
        discover.num[IRSD_DISCOVER_TIMEOUT] = 1000;
        discover.num[IRSD_DISCOVER_MAX] = 4;
        EXPECT_EQ(greedy.ask(discover, refused), IRSD_ERR_NO_MEMORY);
    }

    // The daemon connects out: the first channel sets the link up, the second joins it.
    Client a(path);
    openPort(a);
    IrsdMsg request;
    IrsdMsg reply;
    irsdInit(request, IRSD_SET_LINK_LIMITS, 0);
    request.num[IRSD_LIMITS_WINDOW] = 8;
    request.num[IRSD_LIMITS_FRAME] = 2048;
    EXPECT_EQ(a.ask(request, reply), IRSD_ERR_ARG);
    request.num[IRSD_LIMITS_WINDOW] = 7;
    EXPECT_EQ(a.ask(request, reply), IRSD_OK);
    request = serviceRequest(IRSD_CONNECT, "", 0);
    ASSERT_EQ(a.ask(request, reply), IRSD_OK);
    const int aFd = reply.fd;
    const uint32_t aId = reply.num[IRSD_CHANNEL_R_ID];
    ASSERT_GE(aFd, 0);

    // A query over the link that is up: the peer's selector for its raw service.
    request = serviceRequest(IRSD_QUERY, ECHO_CLASS, 0);
    request.num[IRSD_QUERY_MAX] = 4;
    a.before.clear();
    ASSERT_EQ(a.ask(request, reply), IRSD_OK);
    ASSERT_EQ(reply.num[IRSD_COUNT_R], 1U);
    const auto item = std::find_if(a.before.begin(), a.before.end(),
                                   [](const IrsdMsg& m) { return m.type == IRSD_ITEM_IAS_VALUE; });
    ASSERT_NE(item, a.before.end());
    EXPECT_EQ(item->num[IRSD_IAS_TYPE], unsigned{IRS_IAS_INTEGER});

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t doomed = fork();
    if (doomed == 0) {
        Client b(path);
        b.ask(IRSD_HELLO);
        IrsdMsg open;
        IrsdMsg answer;
        irsdInit(open, IRSD_OPEN, 0);
        irsdSetText(open, IRSD_OPEN_NAME, "ir0");
        IrsdMsg connect = serviceRequest(IRSD_CONNECT, ECHO_CLASS, 1);
        if (b.ask(open, answer) != IRSD_OK || b.ask(connect, answer) != IRSD_OK) {
            _exit(1);
        }
        [[maybe_unused]] const ssize_t told = write(ready[1], "1", 1);
        const std::string endless = pattern(9, BYTES);
        std::array<char, 1024> sink{};
        for (;;) { // until killed
            [[maybe_unused]] const ssize_t put = send(answer.fd, endless.data(), 512, MSG_NOSIGNAL);
            [[maybe_unused]] const ssize_t got = recv(answer.fd, sink.data(), sink.size(), 0);
        }
    }
    char byte = 0;
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, WAIT_MS), 1) << "the second client's channel";
    ASSERT_EQ(read(ready[0], &byte, 1), 1);

    // The second client is killed while the first one's bytes are halfway.
    std::chrono::steady_clock::time_point killedAt;
    const std::string out = pattern(1, BYTES);
    const std::string back = echoThrough(aFd, out, [&] {
        killedAt = std::chrono::steady_clock::now();
        kill(doomed, SIGKILL);
    });
    EXPECT_TRUE(back == out) << back.size() << " bytes came back";
    int status = 0;
    ASSERT_EQ(waitChild(doomed, status), doomed);
    raw.join();
    ASSERT_EQ(raw.listened.load(), IRS_OK);
    const auto endedAfter = std::chrono::steady_clock::time_point(
                                std::chrono::steady_clock::duration(raw.endedAt.load())) -
                            killedAt;
    std::printf("the killed client's channel ended at the peer %lld ms after the kill\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(endedAfter).count()));

    // Its close waits for the acknowledgement; the link ends with the last channel.
    irsdInit(request, IRSD_CHANNEL_CLOSE, 0);
    request.num[IRSD_CHANNEL_ID] = aId;
    request.num[IRSD_CLOSE_LINGER] = 5000;
    EXPECT_EQ(a.ask(request, reply), IRSD_OK);
    request.num[IRSD_CHANNEL_ID] = aId;
    EXPECT_EQ(a.ask(request, reply), IRSD_ERR_HANDLE) << "closed already";
    close(aFd);
    comm.join();
    EXPECT_EQ(comm.listened.load(), IRS_OK);
    ASSERT_EQ(irs_close(device), IRS_OK);

    // The other end connects in, to the service the client offers with a listen.
    request = serviceRequest(IRSD_LISTEN, ECHO_CLASS, 1);
    request.id = 77;
    a.sendMsg(request);
    irs_port* computer = nullptr;
    ASSERT_EQ(irs_open(air.name(1).c_str(), 'a', 115200, IRS_ROLE_COMPUTER, &computer), IRS_OK);
    irs_channel* in = nullptr;
    ASSERT_EQ(irs_connect(computer, ECHO_CLASS, LSAP_ATTRIBUTE, IRS_MODE_RAW, WAIT_MS, &in),
              IRS_OK);
    ASSERT_TRUE(awaitReply(a, IRSD_LISTEN, reply));
    ASSERT_EQ(irsdStatus(reply), IRSD_OK);
    const int listenFd = reply.fd;
    const std::string hello = pattern(5, 2000);
    ASSERT_EQ(irs_write(in, hello.data(), hello.size(), WAIT_MS), long(hello.size()));
    std::string got;
    const Deadline deadline;
    while (got.size() < hello.size() && !deadline.passed()) {
        std::array<char, 512> buffer{};
        pollfd q{listenFd, POLLIN, 0};
        if (poll(&q, 1, 100) == 1) {
            const ssize_t n = recv(listenFd, buffer.data(), buffer.size(), 0);
            ASSERT_GT(n, 0);
            got.append(buffer.data(), static_cast<size_t>(n));
        }
    }
    EXPECT_TRUE(got == hello) << got.size() << " bytes through the listened channel";
    const uint32_t listenId = reply.num[IRSD_CHANNEL_R_ID];
    EXPECT_EQ(irs_channel_close(in), IRS_OK);
    // The peer's close: the end's event, then the socket's end after the last byte.
    IrsdMsg ended;
    while (a.receive(ended) && ended.type != IRSD_EV_CHANNEL_ENDED) {
    }
    EXPECT_EQ(ended.type, IRSD_EV_CHANNEL_ENDED);
    EXPECT_EQ(ended.num[IRSD_ENDED_CHANNEL], listenId);
    EXPECT_EQ(irsdInt(ended, IRSD_ENDED_REASON), IRSD_ERR_PEER_GONE);
    std::array<char, 16> rest{};
    pollfd q{listenFd, POLLIN, 0};
    EXPECT_EQ(poll(&q, 1, WAIT_MS), 1);
    EXPECT_EQ(recv(listenFd, rest.data(), rest.size(), MSG_DONTWAIT), 0) << "no end of file";
    EXPECT_EQ(irs_close(computer), IRS_OK);
    close(listenFd);

    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    ASSERT_EQ(waitChild(daemon, status), daemon);
    reaper.release();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // A sanitizer's report in the daemon fails the test too.
    std::string said;
    std::array<char, 4096> chunk{};
    for (ssize_t n = 0; (n = read(errorPipe, chunk.data(), chunk.size())) > 0;) {
        said.append(chunk.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(said.find("Sanitizer"), std::string::npos) << said;
    EXPECT_EQ(said.find("runtime error"), std::string::npos) << said;
    close(errorPipe);
    rmdir(dir.c_str());
    rmdir(dirTemplate);
}

} // namespace
