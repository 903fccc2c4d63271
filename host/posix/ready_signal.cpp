// The readiness as a socket pair. Readable: a byte sent from our end waits at the program's.
// Writable: the program's end has room to send, so "not writable" is its send buffer filled from
// our side (kept small) and "writable" that buffer drained at our end.
#include "ready_signal.h"

#include <array>
#include <cstdint>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

const bool HOST_READY_FD = true;

namespace {

constexpr int SEND_BUFFER = 4096;

// Reads `fd` until nothing is left.
void drain(int fd) {
    std::array<uint8_t, 1024> sink{};
    while (::read(fd, sink.data(), sink.size()) > 0) {
    }
}

// Sends from `fd` until its buffer is full.
void fill(int fd) {
    const std::array<uint8_t, 1024> filler{};
    while (::send(fd, filler.data(), filler.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
    }
}

} // namespace

bool hostReadyOpenEnds(HostReady& ready) {
    if (ready.ends[0] >= 0) {
        return true;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ready.ends.data()) != 0) {
        ready.ends = {-1, -1};
        return false;
    }
    for (const int end : ready.ends) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
        fcntl(end, F_SETFL, O_NONBLOCK);
    }
    setsockopt(ready.ends[0], SOL_SOCKET, SO_SNDBUF, &SEND_BUFFER, sizeof SEND_BUFFER);
    // Neither readable nor writable until the owner says so.
    fill(ready.ends[0]);
    ready.readable = false;
    ready.writable = false;
    return true;
}

void hostReadyShow(HostReady& ready, bool readable, bool writable) {
    if (ready.ends[0] < 0) {
        ready.readable = readable;
        ready.writable = writable;
        return;
    }
    if (readable != ready.readable) {
        const uint8_t byte = 1;
        if (readable) {
            ready.readable = ::send(ready.ends[1], &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1;
        } else {
            drain(ready.ends[0]);
            ready.readable = false;
        }
    }
    if (writable != ready.writable) {
        if (writable) {
            drain(ready.ends[1]);
        } else {
            fill(ready.ends[0]);
        }
        ready.writable = writable;
    }
}

void hostReadyCloseEnds(HostReady& ready) {
    for (int& end : ready.ends) {
        if (end >= 0) {
            ::close(end);
            end = -1;
        }
    }
}
