// Pseudo-terminal pair for the port tests.
#include "pty_pair.h"

#include <array>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int DEADLINE_MS = 5000;

int msLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

PtyPair::~PtyPair() {
    if (slave >= 0) {
        close(slave);
    }
    if (master >= 0) {
        close(master);
    }
}

bool PtyPair::open() {
    std::array<char, 128> path{};
    if (openpty(&master, &slave, path.data(), nullptr, nullptr) != 0) {
        return false;
    }
    name = path.data();
    return true;
}

void PtyPair::writeMaster(const std::vector<uint8_t>& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = write(master, bytes.data() + done, bytes.size() - done);
        if (count <= 0) {
            return;
        }
        done += static_cast<size_t>(count);
    }
}

std::vector<uint8_t> PtyPair::readMaster(size_t count) const {
    std::vector<uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(DEADLINE_MS);
    std::array<uint8_t, 4096> chunk{};
    while (bytes.size() < count) {
        pollfd entry{master, POLLIN, 0};
        if (poll(&entry, 1, msLeft(deadline)) <= 0) {
            break;
        }
        const ssize_t got =
            read(master, chunk.data(), std::min(chunk.size(), count - bytes.size()));
        if (got <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
    }
    return bytes;
}

void PtyPair::closeMaster() {
    if (master >= 0) {
        close(master);
        master = -1;
    }
}

size_t PtyPair::pendingOnSlave() const {
    int count = 0;
    ioctl(slave, FIONREAD, &count);
    return count > 0 ? static_cast<size_t>(count) : 0;
}

bool PtyPair::waitPendingOnSlave(size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(DEADLINE_MS);
    while (pendingOnSlave() < count) {
        if (msLeft(deadline) == 0) {
            return false;
        }
        // Readable as soon as one byte is there; the rest follows from the same master write.
        pollfd entry{slave, POLLIN, 0};
        poll(&entry, 1, msLeft(deadline));
    }
    return true;
}

bool PtyPair::returnsWithoutInput(const std::function<void()>& read) const {
    std::future<void> done = std::async(std::launch::async, read);
    if (done.wait_for(std::chrono::milliseconds(DEADLINE_MS)) == std::future_status::ready) {
        done.get();
        return true;
    }
    writeMaster(std::vector<uint8_t>(512));
    done.get();
    return false;
}

termios PtyPair::slaveSettings() const {
    termios settings{};
    tcgetattr(slave, &settings);
    return settings;
}

std::vector<uint8_t> allByteValues() {
    std::vector<uint8_t> bytes(256);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}
