// How the primary's links end: given up when the device falls silent or the port fails, or ended
// on request with a DISC once the channels' closes have gone; with quiet-after-link on, the
// station then sends nothing until it starts afresh.
#include "console.h"
#include "primary_station.h"

namespace primary {

namespace {

constexpr char BEL = '\a';

} // namespace

void PrimaryStation::giveUp(uint8_t state) {
    if (state == PRIMARY_CONNECTED) {
        consolePrint("%c", BEL);
        if (quietAfterLink.load()) {
            isHalted.store(true); // before the state, which wakes those waiting on the link
        }
    }
    discSent = false;
    linkEndWanted.store(false);
    setState(PRIMARY_START_DELAY);
}

bool PrimaryStation::linkEndDue() {
    if (!linkEndWanted.load() || conn.held.awaitingAck || conn.firstCloseRequested()) {
        return false;
    }
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        if (conn.extra(lane).closeRequested() && conn.extra(lane).state() != CHANNEL_IDLE) {
            return false; // its LM disconnect goes first
        }
    }
    return true;
}

void PrimaryStation::sendDisc() {
    discSent = true;
    timing.markRepeated(); // the UA is awaited for a repeat's span
    sendHeld(lapBuildDisc(conn.tx.data(), conn.record, true));
}

void PrimaryStation::endLink() {
    isHalted.store(true);
    discSent = false;
    linkEndWanted.store(false);
    setState(PRIMARY_START_DELAY);
}

} // namespace primary
