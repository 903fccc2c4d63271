// A channel's readiness: a descriptor that polls readable and writable as its owner says, for a
// program's poll or select (POSIX only), and a count of changes that the owner's own waits block
// on (every host).
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// False where the host has no such descriptor (Windows).
extern const bool HOST_READY_FD;

struct HostReady {
    // The program's end, which it polls, and ours.
    std::array<int, 2> ends{-1, -1};
    bool readable = false;
    bool writable = false;
    std::mutex lock;
    std::condition_variable changed;
    uint32_t changes = 0;
};

// False when the host has no descriptor or it cannot be made; the waits work regardless.
bool hostReadyOpen(HostReady& ready);
// The descriptor to poll, or -1.
int hostReadyFd(HostReady& ready);
// Sets both states and wakes every wait on the signal, from any thread.
void hostReadySet(HostReady& ready, bool readable, bool writable);
// The count of hostReadySet calls so far: a wait passes it back to learn of any later one.
uint32_t hostReadyChanges(HostReady& ready);
// Waits until a hostReadySet after `seen`, up to `waitMs` (negative: no limit); false on the
// time-out.
bool hostReadyWait(HostReady& ready, uint32_t seen, int waitMs);
void hostReadyClose(HostReady& ready);

// The host's part, under the signal's lock: the descriptor made to show the states.
bool hostReadyOpenEnds(HostReady& ready);
void hostReadyShow(HostReady& ready, bool readable, bool writable);
void hostReadyCloseEnds(HostReady& ready);
