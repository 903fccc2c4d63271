// The two ends of the air for the library's scenario tests, each opened in this process or
// through an irstackd that holds that end's pseudo-terminal, so each scenario runs both ways.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_wait.h"
#include "deadline.h"
#include "irstack.h"
#include "lib_air.h"

enum class Through { PROCESS, DAEMON };

// Which ends go through a daemon: the computer's, and where it is cheap the device's too.
struct Transports {
    Through computer = Through::PROCESS;
    Through device = Through::PROCESS;
};

#if defined(IRSTACKD_PATH)
inline const std::array<Transports, 3> ALL_TRANSPORTS{{
    {Through::PROCESS, Through::PROCESS},
    {Through::DAEMON, Through::PROCESS},
    {Through::DAEMON, Through::DAEMON},
}};
#else
// No daemon in this build.
#define IRSTACKD_PATH ""
inline const std::array<Transports, 1> ALL_TRANSPORTS{{{Through::PROCESS, Through::PROCESS}}};
#endif

inline std::string transportsName(const ::testing::TestParamInfo<Transports>& info) {
    const bool computer = info.param.computer == Through::DAEMON;
    const bool device = info.param.device == Through::DAEMON;
    return computer && device ? "BothThroughDaemons"
           : computer         ? "ComputerThroughDaemon"
           : device           ? "DeviceThroughDaemon"
                              : "InProcess";
}

// One irstackd holding one pseudo-terminal as port NAME; its standard error read as it comes,
// so the daemon never waits on it.
class Daemon {
  public:
    Daemon(const std::string& dir, const std::string& name, const std::string& device, char variant,
           uint32_t maxSpeed) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            return;
        }
        const group* own = getgrgid(getgid());
        std::vector<std::string> args{IRSTACKD_PATH,
                                      "--group",
                                      own != nullptr ? own->gr_name : "",
                                      "--variant",
                                      std::string(1, variant),
                                      name + "=" + device};
        if (maxSpeed != 0) {
            args.insert(args.end() - 1, {"--max-speed", std::to_string(maxSpeed)});
        }
        pid = fork();
        if (pid == 0) {
            dup2(ends[1], STDERR_FILENO);
            setenv("IRSTACK_SOCKET_DIR", dir.c_str(), 1);
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(IRSTACKD_PATH, argv.data());
            _exit(127);
        }
        close(ends[1]);
        errors = ends[0];
        reader = std::thread([this] { drain(); });
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;
    // A daemon that failed or said a sanitizer's words fails the test.
    ~Daemon() {
        int status = -1;
        if (pid > 0 && kill(pid, SIGTERM) == 0) {
            EXPECT_EQ(waitChild(pid, status), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        if (reader.joinable()) {
            reader.join();
        }
        if (::testing::Test::HasFailure()) {
            std::fprintf(stderr, "irstackd said:\n%s", said.c_str());
        }
        EXPECT_EQ(said.find("Sanitizer"), std::string::npos) << said;
        EXPECT_EQ(said.find("runtime error"), std::string::npos) << said;
    }
    bool serving(const std::string& name) {
        std::unique_lock<std::mutex> hold(lock);
        return grew.wait_for(hold, std::chrono::seconds(30), [&] {
            return said.find("serving " + name) != std::string::npos || ended;
        }) && !ended;
    }
    std::string text() {
        const std::lock_guard<std::mutex> hold(lock);
        return said;
    }

  private:
    void drain() {
        std::array<char, 512> chunk{};
        ssize_t got = 0;
        while ((got = read(errors, chunk.data(), chunk.size())) > 0) {
            const std::lock_guard<std::mutex> hold(lock);
            said.append(chunk.data(), static_cast<size_t>(got));
            grew.notify_all();
        }
        close(errors);
        const std::lock_guard<std::mutex> hold(lock);
        ended = true;
        grew.notify_all();
    }

    pid_t pid = -1;
    int errors = -1;
    std::mutex lock;
    std::condition_variable grew;
    std::string said;
    bool ended = false;
    std::thread reader;
};

// A fixture whose ends 0 (the computer's) and 1 (the device's) open their terminal in this
// process or through a daemon, by the parameter.
class PortEnds : public ::testing::TestWithParam<Transports> {
  protected:
    // The terminal that holds `end`.
    virtual std::string terminal(int end) const = 0;
    void SetUp() override {
        std::string folder = "/tmp/irs_ends_XXXXXX";
        ASSERT_NE(mkdtemp(folder.data()), nullptr);
        top = folder;
        dir = top + "/sockets";
        setenv("IRSTACK_SOCKET_DIR", dir.c_str(), 1);
    }
    void TearDown() override {
        for (auto& daemon : daemons) {
            daemon.reset();
        }
        for (const char* name : {"/end0", "/end1"}) {
            unlink((dir + name).c_str());
        }
        rmdir(dir.c_str());
        rmdir(top.c_str());
    }
    bool throughDaemon(int end) const {
        return (end == 0 ? GetParam().computer : GetParam().device) == Through::DAEMON;
    }
    // A daemon's port runs whether or not a client asks anything: it refuses new settings only
    // while a link is up, where a port of this process refuses them from its first listen on.
    int settingsOnceStarted(int end) const { return throughDaemon(end) ? IRS_OK : IRS_ERR_STATE; }
    // What irs_open takes for `end`; its daemon started on first use. The daemon's options, not
    // the client's, set the transceiver and the speeds a shared port offers.
    std::string path(int end, char variant, uint32_t maxSpeed) {
        if (!throughDaemon(end)) {
            return terminal(end);
        }
        const std::string name = "end" + std::to_string(end);
        auto& daemon = daemons.at(static_cast<size_t>(end));
        if (!daemon) {
            daemon = std::make_unique<Daemon>(dir, name, terminal(end), variant, maxSpeed);
            EXPECT_TRUE(daemon->serving(name)) << daemon->text();
        }
        return "irstackd:" + name;
    }
    int open(int end, char variant, uint32_t speed, int role, irs_port** port) {
        return irs_open(path(end, variant, speed).c_str(), variant, speed, role, port);
    }

    std::string top;
    std::string dir;
    std::array<std::unique_ptr<Daemon>, 2> daemons;
};

// The ends joined by the air.
class AirEnds : public PortEnds {
  protected:
    std::string terminal(int end) const override { return air.name(end); }
    void SetUp() override {
        if (!air.opened) {
            GTEST_SKIP() << "no pseudo-terminals";
        }
        PortEnds::SetUp();
    }
    Air air;
};

// For a fixture that opens the computer's end alone.
#define IRS_ONE_END_TRANSPORTS(suite)                                                              \
    INSTANTIATE_TEST_SUITE_P(                                                                      \
        Transports, suite,                                                                         \
        ::testing::ValuesIn(ALL_TRANSPORTS.begin(),                                                \
                            ALL_TRANSPORTS.begin() + std::min<size_t>(2, ALL_TRANSPORTS.size())),  \
        transportsName)

#define IRS_BOTH_TRANSPORTS(suite)                                                                 \
    INSTANTIATE_TEST_SUITE_P(Transports, suite, ::testing::ValuesIn(ALL_TRANSPORTS), transportsName)

inline void PrintTo(const Transports& transports, std::ostream* out) {
    *out << (transports.computer == Through::DAEMON ? "computer through irstackd"
                                                    : "computer in process")
         << ", "
         << (transports.device == Through::DAEMON ? "device through irstackd"
                                                  : "device in process");
}
