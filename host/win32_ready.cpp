// Windows has no descriptor to poll for the ready signal: callers learn it from HOST_READY_FD.
#include "ready_signal.h"

const bool HOST_READY_FD = false;

bool hostReadyOpen(HostReady& /*ready*/) {
    return false;
}

int hostReadyFd(const HostReady& /*ready*/) {
    return -1;
}

void hostReadySet(HostReady& ready, bool raised) {
    ready.raised = raised;
}

void hostReadyClose(HostReady& ready) {
    ready.raised = false;
}
