// The ready signal as a non-blocking pipe: one byte in it while raised.
#include "ready_signal.h"

#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

const bool HOST_READY_FD = true;

bool hostReadyOpen(HostReady& ready) {
    if (::pipe(ready.pipe.data()) != 0) {
        ready.pipe = {-1, -1};
        return false;
    }
    for (const int end : ready.pipe) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
        fcntl(end, F_SETFL, O_NONBLOCK);
    }
    return true;
}

int hostReadyFd(const HostReady& ready) {
    return ready.pipe[0];
}

void hostReadySet(HostReady& ready, bool raised) {
    if (raised == ready.raised || ready.pipe[0] < 0) {
        return;
    }
    uint8_t byte = 1;
    const ssize_t moved =
        raised ? ::write(ready.pipe[1], &byte, 1) : ::read(ready.pipe[0], &byte, 1);
    if (moved == 1) {
        ready.raised = raised;
    }
}

void hostReadyClose(HostReady& ready) {
    for (int& end : ready.pipe) {
        if (end >= 0) {
            ::close(end);
            end = -1;
        }
    }
    ready.raised = false;
}
