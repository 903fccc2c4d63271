// Two pseudo-terminals joined as the air would join two transceivers, for tests that link a
// computer and a device of the library in one process.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <poll.h>
#include <pty.h>
#include <string>
#include <thread>
#include <unistd.h>

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
