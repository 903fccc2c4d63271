// A descriptor that polls readable while its owner says so, for a program's poll or select: a
// pipe holding one byte on POSIX; Windows has no such descriptor for its handles.
#pragma once

#include <array>

// False where the host has no such descriptor (Windows).
extern const bool HOST_READY_FD;

struct HostReady {
    std::array<int, 2> pipe{-1, -1};
    bool raised = false;
};

// False when the host has none or it cannot be made.
bool hostReadyOpen(HostReady& ready);
// The descriptor to poll, or -1.
int hostReadyFd(const HostReady& ready);
// Readable (raised) or not; the caller serialises the calls on one signal.
void hostReadySet(HostReady& ready, bool raised);
void hostReadyClose(HostReady& ready);
