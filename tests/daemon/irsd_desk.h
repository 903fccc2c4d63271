// A user's desk for irstackd's tests: a dongle that can be unplugged and plugged back (a pair of
// pseudo-terminals joined to the peer's), the library on the peer's end offering echo services,
// and the daemon with what it says read as it comes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_wait.h"
#include "irsd_test_client.h"
#include "irstack.h"

namespace {

const char* const ECHO_CLASS = "Echo";
// A service that accepts a channel and never reads it.
const char* const HOLD_CLASS = "Hold";

// Two pseudo-terminals joined as the air joins two transceivers; the daemon's is reached through
// a symbolic link, removed and made again for a new pair as a dongle is unplugged and back.
class Desk {
  public:
    explicit Desk(std::string linkPath) : dongle(std::move(linkPath)) {
        std::array<char, 128> name{};
        opened = openpty(&peer.master, &peer.slave, name.data(), nullptr, nullptr) == 0 &&
                 keepHome(peer);
        peerName = name.data();
        opened = opened && plug();
        carrier = std::thread([this] { carry(); });
    }
    Desk(const Desk&) = delete;
    Desk& operator=(const Desk&) = delete;
    ~Desk() {
        running.store(false);
        carrier.join();
        unplug();
        close(peer.master);
        close(peer.slave);
    }
    // Hangs the daemon's side up, and its path goes.
    void unplug() {
        const std::lock_guard<std::mutex> hold(lock);
        for (const int fd : {near.master, near.slave}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        near = {};
        unlink(dongle.c_str());
    }
    bool plug() {
        const std::lock_guard<std::mutex> hold(lock);
        std::array<char, 128> name{};
        return openpty(&near.master, &near.slave, name.data(), nullptr, nullptr) == 0 &&
               keepHome(near) && symlink(name.data(), dongle.c_str()) == 0;
    }

    bool opened = false;
    const std::string dongle;
    std::string peerName;

  private:
    struct Ends {
        int master = -1;
        int slave = -1; // held, so the far side never hangs up while a station reopens its port
    };
    // Not inherited by the daemon, whose copy would keep the terminal from hanging up.
    static bool keepHome(const Ends& ends) {
        return fcntl(ends.master, F_SETFD, FD_CLOEXEC) == 0 &&
               fcntl(ends.slave, F_SETFD, FD_CLOEXEC) == 0;
    }
    void carry() {
        std::array<uint8_t, 512> buffer{};
        while (running.load()) {
            const std::lock_guard<std::mutex> hold(lock);
            std::array<pollfd, 2> polled{{{near.master, POLLIN, 0}, {peer.master, POLLIN, 0}}};
            if (poll(polled.data(), polled.size(), 20) <= 0) {
                continue;
            }
            for (size_t from = 0; from < polled.size(); ++from) {
                const int to = from == 0 ? peer.master : near.master;
                if ((polled[from].revents & POLLIN) == 0) {
                    continue;
                }
                const ssize_t count = read(polled[from].fd, buffer.data(), buffer.size());
                if (count > 0 && to >= 0) {
                    [[maybe_unused]] const ssize_t put =
                        write(to, buffer.data(), static_cast<size_t>(count));
                }
            }
        }
    }
    Ends near;
    Ends peer;
    std::mutex lock;
    std::atomic<bool> running{true};
    std::thread carrier;
};

// The library's device: echo services, each listened for again after each channel.
class EchoDevice {
  public:
    explicit EchoDevice(const std::string& path, std::vector<const char*> names = {ECHO_CLASS}) {
        opened = irs_open(path.c_str(), 'a', 115200, IRS_ROLE_DEVICE, &port) == IRS_OK;
        for (const char* name : names) {
            threads.emplace_back([this, name] { serve(name); });
        }
    }
    EchoDevice(const EchoDevice&) = delete;
    EchoDevice& operator=(const EchoDevice&) = delete;
    ~EchoDevice() {
        stopping.store(true);
        for (std::thread& thread : threads) {
            thread.join();
        }
        irs_close(port);
    }
    bool opened = false;

  private:
    void serve(const char* className) {
        while (opened && !stopping.load()) {
            irs_channel* channel = nullptr;
            if (irs_listen(port, className, LSAP_ATTRIBUTE, IRS_MODE_RAW, 3000, &channel) !=
                IRS_OK) {
                continue;
            }
            if (std::string_view(className) == HOLD_CLASS) {
                // Takes nothing: the channel's credits run out.
                while (!stopping.load()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            }
            std::array<char, 512> buffer{};
            long got = 0;
            while (!stopping.load() &&
                   ((got = irs_read(channel, buffer.data(), buffer.size(), 200)) > 0 ||
                    got == IRS_ERR_TIMEOUT)) {
                if (got > 0 &&
                    irs_write(channel, buffer.data(), static_cast<size_t>(got), WAIT_MS) != got) {
                    break;
                }
            }
            irs_channel_abort(channel);
        }
    }
    irs_port* port = nullptr;
    std::atomic<bool> stopping{false};
    std::vector<std::thread> threads;
};

// irstackd in a socket folder of its own, serving ir0 on `device`, what it says read as it comes
// (a full pipe would stop it); stopped with SIGTERM at the end, when it must exit cleanly and
// without a sanitizer's report.
class Daemon {
  public:
    explicit Daemon(const std::string& device) {
        pid = startDaemon(dir, {"--group", ownGroup(), "--max-speed", "115200", "ir0=" + device},
                          errorPipe);
        if (pid > 0) {
            reader = std::thread([this] { listen(); });
            started = waitFor("serving ir0");
        }
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;
    ~Daemon() {
        int status = 0;
        kill(pid, SIGTERM);
        EXPECT_EQ(waitChild(pid, status), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        if (reader.joinable()) {
            reader.join();
        }
        if (::testing::Test::HasFailure()) {
            std::printf("irstackd said:\n%s", said.c_str());
        }
        EXPECT_EQ(said.find("Sanitizer"), std::string::npos) << said;
        EXPECT_EQ(said.find("runtime error"), std::string::npos) << said;
        close(errorPipe);
        rmdir(dir.c_str());
    }
    bool waitFor(const std::string& text) {
        std::unique_lock<std::mutex> hold(lock);
        return grew.wait_for(hold, std::chrono::seconds(30),
                             [&] { return said.find(text) != std::string::npos; });
    }
    // Descriptors open and resident kilobytes.
    size_t descriptors() const {
        const auto fds =
            std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd");
        return static_cast<size_t>(std::distance(begin(fds), end(fds)));
    }
    long residentKb() const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::stol(line.substr(6));
            }
        }
        return -1;
    }

    const std::string dir =
        std::filesystem::temp_directory_path() / ("irstackd-desk-" + std::to_string(getpid()));
    const std::string path = dir + "/ir0";
    bool started = false;

  private:
    void listen() {
        std::array<char, 4096> chunk{};
        for (ssize_t n = 0; (n = read(errorPipe, chunk.data(), chunk.size())) > 0;) {
            const std::lock_guard<std::mutex> hold(lock);
            said.append(chunk.data(), static_cast<size_t>(n));
            grew.notify_all();
        }
    }
    pid_t pid = -1;
    int errorPipe = -1;
    std::thread reader;
    std::mutex lock;
    std::condition_variable grew;
    std::string said;
};

} // namespace
