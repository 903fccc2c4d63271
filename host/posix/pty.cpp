// Pseudo-terminals and the standard streams with poll(2) time-outs.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "byte_stream.h"
#include "host_objects.h"
#include "serial_stream.h"

const bool HOST_READ_TIMES_OUT = true;

namespace {

std::atomic<std::atomic<bool>*> stopFlag{nullptr};

void onStopSignal(int /*signal*/) {
    std::atomic<bool>* flag = stopFlag.load();
    if (flag != nullptr) {
        flag->store(true);
    }
}

void closeFd(int& fd) {
    if (fd >= 0) {
        close(fd);
    }
    fd = -1;
}

bool waitFor(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, timeoutMs);
    return ready > 0;
}

bool linkPointsAtDevice(const HostStream& stream) {
    std::array<char, HOST_PATH_SIZE> target{};
    const ssize_t length = readlink(stream.linkPath.data(), target.data(), target.size() - 1);
    return length > 0 && std::strcmp(target.data(), stream.devicePath.data()) == 0;
}

} // namespace

bool hostPtyOpen(HostStream& stream) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        return false;
    }
    std::array<char, HOST_PATH_SIZE> path{};
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, path.data(), path.size()) != 0) {
        const int error = errno;
        close(master);
        errno = error;
        return false;
    }
    const int device = open(path.data(), O_RDWR | O_NOCTTY);
    termios mode{};
    if (device < 0 || tcgetattr(device, &mode) != 0) {
        const int error = errno;
        close(master);
        if (device >= 0) {
            close(device);
        }
        errno = error;
        return false;
    }
    // Raw, so every byte value passes as it is and nothing is echoed back to us.
    cfmakeraw(&mode);
    tcsetattr(device, TCSANOW, &mode);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(device, F_SETFD, FD_CLOEXEC);
    stream.kind = HostStreamKind::pty;
    stream.input = master;
    stream.output = master;
    stream.deviceKeeper = device;
    stream.devicePath = path;
    stream.error = 0;
    return true;
}

void hostStdioOpen(HostStream& stream) {
    stream.kind = HostStreamKind::standard;
    stream.input = STDIN_FILENO;
    stream.output = STDOUT_FILENO;
}

HostLinkResult hostPtyLink(HostStream& stream, const char* path) {
    if (std::strlen(path) >= HOST_PATH_SIZE) {
        errno = ENAMETOOLONG;
        return HostLinkResult::failed;
    }
    struct stat status {};
    if (lstat(path, &status) == 0) {
        if (!S_ISLNK(status.st_mode)) {
            return HostLinkResult::taken;
        }
        unlink(path); // a link left behind by an earlier run
    }
    if (symlink(stream.devicePath.data(), path) != 0) {
        return errno == EEXIST ? HostLinkResult::taken : HostLinkResult::failed;
    }
    std::snprintf(stream.linkPath.data(), stream.linkPath.size(), "%s", path);
    return HostLinkResult::made;
}

void hostStreamClose(HostStream& stream) {
    if (stream.kind == HostStreamKind::serial) {
        if (stream.serial != nullptr) {
            hostSerialStreamClose(stream);
        }
        return;
    }
    if (stream.linkPath[0] != '\0' && linkPointsAtDevice(stream)) {
        unlink(stream.linkPath.data());
    }
    stream.linkPath[0] = '\0';
    if (stream.deviceKeeper >= 0) {
        closeFd(stream.input); // the master; the standard streams stay
        stream.output = -1;
        closeFd(stream.deviceKeeper);
    }
}

unsigned long hostStreamReopen(HostStream& stream) {
    if (stream.kind == HostStreamKind::serial) {
        return hostSerialStreamReopen(stream);
    }
    if (stream.kind != HostStreamKind::pty) {
        return ERROR_INVALID_FUNCTION;
    }
    // The client's descriptor dies with the old pair; a client that opens the link finds the new.
    const std::array<char, HOST_PATH_SIZE> link = stream.linkPath;
    const bool linked = link[0] != '\0' && linkPointsAtDevice(stream);
    closeFd(stream.input);
    stream.output = -1;
    closeFd(stream.deviceKeeper);
    stream.linkPath[0] = '\0';
    if (!hostPtyOpen(stream)) {
        return hostErrorFromErrno(errno);
    }
    if (linked && hostPtyLink(stream, link.data()) != HostLinkResult::made) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

int hostStreamRead(HostStream& stream, uint8_t* buffer, size_t maximum, int timeoutMs) {
    if (stream.kind == HostStreamKind::serial) {
        return hostSerialStreamRead(stream, buffer, maximum, timeoutMs);
    }
    if (!waitFor(stream.input, POLLIN, timeoutMs)) {
        return 0;
    }
    const ssize_t count = read(stream.input, buffer, maximum);
    if (count > 0) {
        return static_cast<int>(count);
    }
    if (count == 0 && stream.deviceKeeper < 0) {
        return HOST_STREAM_END;
    }
    if (count < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
        if (stream.kind == HostStreamKind::standard) {
            return HOST_STREAM_END;
        }
        stream.error = hostErrorFromErrno(errno);
        return HOST_STREAM_FAILED;
    }
    return 0;
}

bool hostStreamWritable(HostStream& stream, int timeoutMs) {
    if (stream.kind == HostStreamKind::serial) {
        return true; // its writes wait for room themselves
    }
    return waitFor(stream.output, POLLOUT, timeoutMs);
}

size_t hostStreamWrite(HostStream& stream, const uint8_t* data, size_t length,
                       const std::atomic<bool>& stop) {
    if (stream.kind == HostStreamKind::serial) {
        return hostSerialStreamWrite(stream, data, length, stop);
    }
    constexpr int WAIT_MS = 50;
    size_t written = 0;
    while (written < length && !stop.load()) {
        const ssize_t count = write(stream.output, data + written, length - written);
        if (count > 0) {
            written += static_cast<size_t>(count);
        } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
            stream.error = stream.kind == HostStreamKind::standard ? 0 : hostErrorFromErrno(errno);
            break;
        } else {
            waitFor(stream.output, POLLOUT, WAIT_MS);
        }
    }
    return written;
}

void hostCatchStopSignals(std::atomic<bool>* flag) {
    stopFlag.store(flag);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
