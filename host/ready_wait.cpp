// The readiness' states and the waits on them, the same on every host; the descriptor is the
// host's (posix/ready_signal.cpp, win32_ready.cpp).
#include <chrono>

#include "ready_signal.h"

bool hostReadyOpen(HostReady& ready) {
    const std::lock_guard<std::mutex> hold(ready.lock);
    return hostReadyOpenEnds(ready);
}

int hostReadyFd(HostReady& ready) {
    const std::lock_guard<std::mutex> hold(ready.lock);
    return ready.ends[0];
}

void hostReadySet(HostReady& ready, bool readable, bool writable) {
    {
        const std::lock_guard<std::mutex> hold(ready.lock);
        hostReadyShow(ready, readable, writable);
        ++ready.changes;
    }
    ready.changed.notify_all();
}

uint32_t hostReadyChanges(HostReady& ready) {
    const std::lock_guard<std::mutex> hold(ready.lock);
    return ready.changes;
}

bool hostReadyWait(HostReady& ready, uint32_t seen, int waitMs) {
    std::unique_lock<std::mutex> hold(ready.lock);
    const auto moved = [&ready, seen] { return ready.changes != seen; };
    if (waitMs < 0) {
        ready.changed.wait(hold, moved);
        return true;
    }
    return ready.changed.wait_for(hold, std::chrono::milliseconds(waitMs), moved);
}

void hostReadyClose(HostReady& ready) {
    const std::lock_guard<std::mutex> hold(ready.lock);
    hostReadyCloseEnds(ready);
    ready.readable = false;
    ready.writable = false;
}
