// The C interface's answers to bad arguments, wrong roles, ports it cannot hold and calls from
// inside the log: each call returns its error code and touches nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "child_wait.h"
#include "deadline.h"
#include "irstack.h"
#include "lib_ends.h"
#include "pty_pair.h"

namespace {

struct LibApi : ::testing::Test {
    void SetUp() override {
        if (!pty.open()) {
            GTEST_SKIP() << "no pseudo-terminals";
        }
    }
    irs_port* open(int role) {
        irs_port* port = nullptr;
        EXPECT_EQ(irs_open(pty.slaveName().c_str(), 'b', 115200, role, &port), IRS_OK);
        return port;
    }
    PtyPair pty;
};

// The calls on one port with nobody in range, in process and through irstackd.
class LibApiEnds : public PortEnds {
  protected:
    std::string terminal(int /*end*/) const override { return pty.slaveName(); }
    void SetUp() override {
        if (!pty.open()) {
            GTEST_SKIP() << "no pseudo-terminals";
        }
        PortEnds::SetUp();
    }
    irs_port* open(int role) {
        irs_port* port = nullptr;
        EXPECT_EQ(PortEnds::open(0, 'b', 115200, role, &port), IRS_OK);
        return port;
    }
    PtyPair pty;
};
IRS_ONE_END_TRANSPORTS(LibApiEnds);

TEST_F(LibApi, OpenRefusesEachBadArgument) {
    irs_port* port = reinterpret_cast<irs_port*>(&pty);
    const char* path = pty.slaveName().c_str();
    EXPECT_EQ(irs_open(path, 'a', 0, IRS_ROLE_COMPUTER, nullptr), IRS_ERR_ARG);
    EXPECT_EQ(irs_open(nullptr, 'a', 0, IRS_ROLE_COMPUTER, &port), IRS_ERR_ARG);
    EXPECT_EQ(port, nullptr) << "a failed open leaves no handle behind";
    EXPECT_EQ(irs_open("", 'a', 0, IRS_ROLE_COMPUTER, &port), IRS_ERR_ARG);
    EXPECT_EQ(irs_open(path, 'c', 0, IRS_ROLE_COMPUTER, &port), IRS_ERR_ARG);
    EXPECT_EQ(irs_open(path, 'a', 4800, IRS_ROLE_COMPUTER, &port), IRS_ERR_ARG);
    EXPECT_EQ(irs_open(path, 'a', 0, 7, &port), IRS_ERR_ARG);
    EXPECT_EQ(irs_open(std::string(300, 'x').c_str(), 'a', 0, IRS_ROLE_DEVICE, &port), IRS_ERR_ARG);
    EXPECT_EQ(irs_open("/nonexistent/ttyIR0", 'a', 0, IRS_ROLE_DEVICE, &port), IRS_ERR_PORT);
    EXPECT_EQ(port, nullptr);
    EXPECT_STREQ(irs_strerror(IRS_ERR_PORT), "cannot open the port");
    EXPECT_STREQ(irs_strerror(99), "unknown error");
}

TEST_F(LibApi, OpenTakesEachTransceiverKindByItsLetterOnly) {
    const char* path = pty.slaveName().c_str();
    for (const char kind : {'a', 'b', 'p', 'A', 'B', 'P'}) {
        irs_port* port = nullptr;
        EXPECT_EQ(irs_open(path, kind, 0, IRS_ROLE_COMPUTER, &port), IRS_OK) << kind;
        EXPECT_EQ(irs_close(port), IRS_OK) << kind;
    }
    for (const char kind : {'c', 'q', '\0', 'l'}) {
        irs_port* port = nullptr;
        EXPECT_EQ(irs_open(path, kind, 0, IRS_ROLE_DEVICE, &port), IRS_ERR_ARG) << int(kind);
        EXPECT_EQ(port, nullptr);
    }
}

TEST_P(LibApiEnds, LinkLimitsTakeOnlyWhatTheLinkCanNegotiate) {
    irs_port* port = open(IRS_ROLE_COMPUTER);
    EXPECT_EQ(irs_set_link_limits(port, 0, 2048), IRS_ERR_ARG);
    EXPECT_EQ(irs_set_link_limits(port, 8, 2048), IRS_ERR_ARG);
    EXPECT_EQ(irs_set_link_limits(port, 7, 63), IRS_ERR_ARG);
    EXPECT_EQ(irs_set_link_limits(port, 7, 2049), IRS_ERR_ARG);
    EXPECT_EQ(irs_set_link_limits(port, 1, 64), IRS_OK);
    EXPECT_EQ(irs_set_link_limits(port, 7, 2048), IRS_OK);
    EXPECT_EQ(irs_close(port), IRS_OK);
    EXPECT_EQ(irs_set_link_limits(port, 3, 256), IRS_ERR_HANDLE);
    // A device that has listened keeps offering with the station running: its offer stays.
    port = open(IRS_ROLE_DEVICE);
    irs_channel* channel = nullptr;
    EXPECT_EQ(irs_listen(port, nullptr, nullptr, IRS_MODE_IRCOMM, 20, &channel), IRS_ERR_TIMEOUT);
    EXPECT_EQ(irs_set_link_limits(port, 3, 256), settingsOnceStarted(0));
    EXPECT_EQ(irs_close(port), IRS_OK);
}

TEST_P(LibApiEnds, ComputerCallsRefuseBadArgumentsAndTheDeviceRole) {
    irs_port* port = open(IRS_ROLE_COMPUTER);
    irs_device devices[2];
    irs_channel* channel = reinterpret_cast<irs_channel*>(&pty);
    EXPECT_EQ(irs_discover(port, 100, nullptr, 2), IRS_ERR_ARG);
    EXPECT_EQ(irs_discover(port, 100, devices, 0), IRS_ERR_ARG);
    EXPECT_EQ(irs_discover(port, 0, devices, 2), IRS_ERR_ARG);
    EXPECT_EQ(irs_connect(port, nullptr, nullptr, IRS_MODE_IRCOMM, 0, nullptr), IRS_ERR_ARG);
    EXPECT_EQ(irs_connect(port, nullptr, nullptr, 5, 0, &channel), IRS_ERR_ARG);
    EXPECT_EQ(channel, nullptr) << "a refused connect leaves no handle behind";
    const std::string tooLong(IRS_NAME_MAX + 1, 'n');
    EXPECT_EQ(irs_connect(port, tooLong.c_str(), nullptr, IRS_MODE_RAW, 0, &channel), IRS_ERR_ARG);
    EXPECT_EQ(irs_connect(port, "", "x", IRS_MODE_RAW, 0, &channel), IRS_ERR_ARG);
    EXPECT_EQ(irs_connect_lsap(port, 128, IRS_MODE_RAW, 0, &channel), IRS_ERR_ARG);
    EXPECT_EQ(irs_connect_lsap(port, -1, IRS_MODE_RAW, 0, &channel), IRS_ERR_ARG);
    EXPECT_EQ(irs_listen(port, nullptr, nullptr, IRS_MODE_IRCOMM, 0, &channel), IRS_ERR_STATE);
    // Nothing answers on the pseudo-terminal: a search finds nobody, a connect times out.
    EXPECT_EQ(irs_discover(port, 50, devices, 2), 0);
    EXPECT_EQ(irs_connect_lsap(port, 4, IRS_MODE_RAW, 50, &channel), IRS_ERR_TIMEOUT);
    EXPECT_EQ(channel, nullptr);
    EXPECT_EQ(irs_close(port), IRS_OK);
    EXPECT_EQ(irs_close(port), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_discover(port, 100, devices, 2), IRS_ERR_HANDLE);
}

TEST_P(LibApiEnds, DeviceCallsRefuseTheComputerRole) {
    irs_port* port = open(IRS_ROLE_DEVICE);
    irs_device devices[1];
    irs_channel* channel = nullptr;
    EXPECT_EQ(irs_discover(port, 100, devices, 1), IRS_ERR_STATE);
    EXPECT_EQ(irs_connect(port, nullptr, nullptr, IRS_MODE_IRCOMM, 0, &channel), IRS_ERR_STATE);
    EXPECT_EQ(irs_connect_lsap(port, 4, IRS_MODE_RAW, 0, &channel), IRS_ERR_STATE);
    EXPECT_EQ(irs_listen(port, "Modem", std::string(IRS_NAME_MAX, 'a').c_str(), IRS_MODE_IRCOMM, 0,
                         &channel),
              IRS_ERR_ARG);
    EXPECT_EQ(irs_listen(port, nullptr, nullptr, IRS_MODE_IRCOMM, 0, nullptr), IRS_ERR_ARG);
    EXPECT_EQ(irs_listen(port, nullptr, nullptr, IRS_MODE_IRCOMM, 50, &channel), IRS_ERR_TIMEOUT);
    EXPECT_EQ(irs_close(port), IRS_OK);
}

TEST_P(LibApiEnds, IdentityTakesAPrintableNicknameBeforeTheDeviceListens) {
    irs_port* port = open(IRS_ROLE_DEVICE);
    const std::string longest(IRS_NICKNAME_SIZE - 1, 'n');
    const std::string tooLong = longest + "n";
    for (const char* bad : {static_cast<const char*>(nullptr), "", "tab\tin", "del\x7F",
                            "\xC3\xA9t\xC3\xA9", tooLong.c_str()}) {
        EXPECT_EQ(irs_set_identity(port, bad, 0x0404), IRS_ERR_ARG) << (bad ? bad : "null");
    }
    EXPECT_EQ(irs_set_identity(port, longest.c_str(), 0xFFFF), IRS_OK);
    irs_channel* channel = nullptr;
    // A listen that timed out leaves the station answering discovery.
    EXPECT_EQ(irs_listen(port, nullptr, nullptr, IRS_MODE_IRCOMM, 20, &channel), IRS_ERR_TIMEOUT);
    EXPECT_EQ(irs_set_identity(port, "Later", 0x0404), settingsOnceStarted(0));
    EXPECT_EQ(irs_close(port), IRS_OK);
    EXPECT_EQ(irs_set_identity(port, "Later", 0x0404), IRS_ERR_HANDLE);
    port = open(IRS_ROLE_COMPUTER);
    EXPECT_EQ(irs_set_identity(port, "Kitchen", 0x0404), IRS_ERR_STATE);
    EXPECT_EQ(irs_close(port), IRS_OK);
}

TEST_P(LibApiEnds, ADeviceOffersAtMostAsManyServicesAsALinkHasChannels) {
    irs_port* port = open(IRS_ROLE_DEVICE);
    irs_channel* channel = nullptr;
    // Each listen that times out leaves its service offered.
    const std::string names = "ABCDE";
    for (size_t i = 0; i < IRS_CHANNELS_MAX; ++i) {
        EXPECT_EQ(irs_listen(port, names.substr(i, 1).c_str(), "Sel", IRS_MODE_RAW, 0, &channel),
                  IRS_ERR_TIMEOUT);
    }
    EXPECT_EQ(irs_listen(port, "E", "Sel", IRS_MODE_RAW, 0, &channel), IRS_ERR_NO_MEMORY);
    EXPECT_EQ(channel, nullptr);
    // A service already offered is listened on again.
    EXPECT_EQ(irs_listen(port, "B", "Sel", IRS_MODE_RAW, 0, &channel), IRS_ERR_TIMEOUT);
    EXPECT_EQ(irs_close(port), IRS_OK);
}

TEST_P(LibApiEnds, AQueryWithNobodyInRangeTimesOut) {
    irs_port* port = open(IRS_ROLE_COMPUTER);
    std::array<irs_ias_value, 1> values{};
    EXPECT_EQ(irs_query(port, "Device", "DeviceName", 100, values.data(), 1), IRS_ERR_TIMEOUT);
    EXPECT_EQ(irs_close(port), IRS_OK);
}

TEST_P(LibApiEnds, PortStatusRefusesBadArgumentsAndStaleHandles) {
    irs_port_state state{};
    EXPECT_EQ(irs_port_status(nullptr, &state), IRS_ERR_HANDLE);
    EXPECT_EQ(irs_port_status(reinterpret_cast<irs_port*>(&pty), &state), IRS_ERR_HANDLE);
    irs_port* port = open(IRS_ROLE_DEVICE);
    EXPECT_EQ(irs_port_status(port, nullptr), IRS_ERR_ARG);
    ASSERT_EQ(irs_port_status(port, &state), IRS_OK);
    EXPECT_EQ(state.phase, IRS_PHASE_IDLE) << "nothing runs before a connect or listen";
    EXPECT_EQ(state.port_error, 0U);
    EXPECT_STREQ(state.peer_text, "");
    EXPECT_STREQ(state.last_error, "");
    EXPECT_EQ(irs_close(port), IRS_OK);
    EXPECT_EQ(irs_port_status(port, &state), IRS_ERR_HANDLE);
}

// What the log got, from the library's threads.
struct LogRecord {
    std::mutex lock;
    std::vector<int> kinds;
    std::string errors;
    std::string trace;
};

void record(void* context, int kind, const char* text, size_t length) {
    auto& log = *static_cast<LogRecord*>(context);
    const std::lock_guard<std::mutex> hold(log.lock);
    log.kinds.push_back(kind);
    if (kind == IRS_LOG_ERROR) {
        log.errors.append(text, length).append("|");
    } else {
        log.trace.append(text, length);
    }
}

TEST_F(LibApi, LogAndStatusShowAPortLostWhileAConnectWaits) {
    LogRecord log;
    EXPECT_EQ(irs_set_log(record, &log), IRS_OK);
    irs_port* port = open(IRS_ROLE_COMPUTER);
    auto connect = std::async(std::launch::async, [port] {
        irs_channel* channel = nullptr;
        return irs_connect_lsap(port, 4, IRS_MODE_RAW, 10000, &channel);
    });
    // A discovery frame on the wire: the station runs, and the status answers meanwhile.
    EXPECT_FALSE(pty.readMaster(1).empty());
    irs_port_state state{};
    ASSERT_EQ(irs_port_status(port, &state), IRS_OK);
    EXPECT_EQ(state.phase, IRS_PHASE_SEARCHING);
    pty.closeMaster();
    ASSERT_EQ(connect.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(connect.get(), IRS_ERR_PORT_LOST);
    ASSERT_EQ(irs_port_status(port, &state), IRS_OK);
    EXPECT_EQ(state.port_error, static_cast<uint32_t>(EIO)) << "a hung-up terminal's errno";
    EXPECT_EQ(state.phase, IRS_PHASE_IDLE);
    EXPECT_EQ(irs_set_log(nullptr, nullptr), IRS_OK);
    EXPECT_EQ(irs_close(port), IRS_OK);
    const std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_NE(log.errors.find("error"), std::string::npos) << "the failed read is reported";
    EXPECT_NE(std::count(log.kinds.begin(), log.kinds.end(), IRS_LOG_TRACE), 0)
        << "the frame sent is traced";
    // The station's state lines speak of its role, not of the demo programs.
    EXPECT_NE(log.trace.find("\ncomputer state:\t1"), std::string::npos) << log.trace;
    EXPECT_EQ(log.trace.find("demo"), std::string::npos);
}

TEST_F(LibApi, AListenWithoutLimitEndsWhenThePortIsLost) {
    irs_port* port = open(IRS_ROLE_DEVICE);
    auto listen = std::async(std::launch::async, [port] {
        irs_channel* channel = nullptr;
        return irs_listen(port, nullptr, nullptr, IRS_MODE_RAW, -1, &channel);
    });
    irs_port_state state{};
    const Deadline running;
    while (irs_port_status(port, &state) == IRS_OK && state.phase != IRS_PHASE_SEARCHING &&
           !running.passed()) {
        std::this_thread::yield();
    }
    pty.closeMaster();
    // An idle device changes no state when its port goes, yet the listen must learn of it.
    const bool ended = listen.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(ended);
    ASSERT_EQ(irs_port_status(port, &state), IRS_OK);
    EXPECT_EQ(std::string(state.last_error).rfind("port lost", 0), 0U) << state.last_error;
    EXPECT_EQ(irs_close(port), IRS_OK);
    EXPECT_EQ(listen.get(), ended ? IRS_ERR_PORT_LOST : IRS_ERR_HANDLE);
}

// The log's lines, then what every refused open answers and logs.
std::string takeErrors(LogRecord& log) {
    const std::lock_guard<std::mutex> hold(log.lock);
    return std::exchange(log.errors, "");
}

TEST_F(LibApi, OpenHoldsATerminalAloneAndRefusesAllElse) {
    LogRecord log;
    EXPECT_EQ(irs_set_log(record, &log), IRS_OK);
    std::string file = "/tmp/irs_api_XXXXXX";
    const int fd = mkstemp(file.data());
    ASSERT_GE(fd, 0);
    close(fd);
    irs_port* port = nullptr;
    for (const char* path : {"/dev/null", file.c_str(), "/tmp", "/nonexistent/ttyIR0"}) {
        EXPECT_EQ(irs_open(path, 'b', 0, IRS_ROLE_COMPUTER, &port), IRS_ERR_PORT) << path;
        const std::string errors = takeErrors(log);
        EXPECT_NE(errors.find(path), std::string::npos) << errors;
        EXPECT_EQ(errors.find("busy"), std::string::npos) << errors;
    }
    unlink(file.c_str());

    // Held from open to close, through a station's start and stop: busy for this process and
    // another.
    irs_port* held = open(IRS_ROLE_COMPUTER);
    irs_device devices[1];
    EXPECT_EQ(irs_discover(held, 20, devices, 1), 0);
    const char* path = pty.slaveName().c_str();
    EXPECT_EQ(irs_open(path, 'b', 0, IRS_ROLE_DEVICE, &port), IRS_ERR_PORT);
    EXPECT_NE(takeErrors(log).find("busy"), std::string::npos);
    const pid_t child = fork();
    if (child == 0) {
        const bool refused = irs_open(path, 'b', 0, IRS_ROLE_DEVICE, &port) == IRS_ERR_PORT;
        _exit(refused && takeErrors(log).find("busy") != std::string::npos ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    ASSERT_EQ(waitChild(child, status), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process got in";
    EXPECT_EQ(irs_set_log(nullptr, nullptr), IRS_OK);
    EXPECT_EQ(irs_close(held), IRS_OK);
    EXPECT_EQ(irs_close(open(IRS_ROLE_DEVICE)), IRS_OK) << "irs_close lets go";
}

// From inside the log function the calls that wait for the library's threads answer
// IRS_ERR_STATE instead of waiting for the thread that runs the log; the others work.
struct InsideLog {
    irs_port* port = nullptr;
    std::string path;
    std::atomic<bool> done{false};
    std::vector<int> answers;
};

void callFromLog(void* context, int kind, const char* text, size_t length) {
    (void)text;
    (void)length;
    auto& inside = *static_cast<InsideLog*>(context);
    if (kind != IRS_LOG_TRACE || inside.done.load()) {
        return;
    }
    irs_channel* channel = nullptr;
    irs_device devices[1];
    irs_port_state state{};
    irs_port* other = nullptr;
    inside.answers = {
        irs_close(inside.port),
        irs_discover(inside.port, 10, devices, 1),
        irs_connect(inside.port, nullptr, nullptr, IRS_MODE_RAW, 0, &channel),
        irs_connect_lsap(inside.port, 4, IRS_MODE_RAW, 0, &channel),
        irs_listen(inside.port, nullptr, nullptr, IRS_MODE_RAW, 0, &channel),
        irs_set_log(nullptr, nullptr),
        irs_set_link_limits(inside.port, 7, 2048), // the discovery holds the port
        irs_port_status(inside.port, &state),
        irs_open(inside.path.c_str(), 'b', 0, IRS_ROLE_DEVICE, &other), // logs, dropped
    };
    inside.done.store(true);
}

TEST_F(LibApi, CallsFromInsideTheLogAnswerOrRefuseButNeverHang) {
    InsideLog inside;
    inside.port = open(IRS_ROLE_COMPUTER);
    inside.path = pty.slaveName();
    EXPECT_EQ(irs_set_log(callFromLog, &inside), IRS_OK);
    auto search = std::async(std::launch::async, [&inside] {
        irs_device devices[1];
        return irs_discover(inside.port, 200, devices, 1);
    });
    ASSERT_EQ(search.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(search.get(), 0);
    EXPECT_EQ(irs_set_log(nullptr, nullptr), IRS_OK);
    ASSERT_TRUE(inside.done.load()) << "the discovery was traced";
    const std::vector<int> expected = {IRS_ERR_STATE, IRS_ERR_STATE, IRS_ERR_STATE,
                                       IRS_ERR_STATE, IRS_ERR_STATE, IRS_ERR_STATE,
                                       IRS_ERR_STATE, IRS_OK,        IRS_ERR_PORT};
    EXPECT_EQ(inside.answers, expected);
    EXPECT_EQ(irs_close(inside.port), IRS_OK);
}

} // namespace
