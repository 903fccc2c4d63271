// The primary's state as a program pumping the channel sees it.
#include "primary.h"
#include "primary_engine.h"
#include "primary_upper.h"

namespace primary {

LinkPhase primaryPhase() {
    const uint8_t state = engineState.load();
    if (state == PRIMARY_CONNECTED) {
        return LINK_OPEN;
    }
    return state >= PRIMARY_LINK_CHECK ? LINK_CONNECTED : LINK_SEARCHING;
}

int primaryTransmitRoom() {
    return byteQueueRoom(&transmitQueue);
}

int primaryUnacknowledged() {
    const std::lock_guard<std::mutex> guard(transmitLock);
    const int staged = dataUnacknowledged.load() ? stagedCount.load() : 0;
    return transmitQueue.count(&transmitQueue) + staged;
}

} // namespace primary
