// The secondary's state as a program pumping the channel sees it.
#include "secondary.h"
#include "secondary_internal.h"

namespace secondary {

LinkPhase secondaryPhase() {
    const uint8_t state = engineState;
    if (state == SEC_IRCOMM_OPEN) {
        return LINK_OPEN;
    }
    return state >= SEC_LINKED ? LINK_CONNECTED : LINK_SEARCHING;
}

int secondaryTransmitRoom() {
    return byteQueueRoom(&transmitQueue);
}

int secondaryUnacknowledged() {
    const std::lock_guard<std::mutex> guard(transmitLock);
    const int staged = dataUnacknowledged.load() ? stagedCount.load() : 0;
    return transmitQueue.count(&transmitQueue) + staged;
}

} // namespace secondary
