// Windows has no descriptor to poll for the readiness: callers learn it from HOST_READY_FD and
// wait on the change count alone.
#include "ready_signal.h"

const bool HOST_READY_FD = false;

bool hostReadyOpenEnds(HostReady& /*ready*/) {
    return false;
}

void hostReadyShow(HostReady& ready, bool readable, bool writable) {
    ready.readable = readable;
    ready.writable = writable;
}

void hostReadyCloseEnds(HostReady& /*ready*/) {}
