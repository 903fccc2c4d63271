// The primary's timers and how its links end: the repeat, the give-up when the device falls
// silent (or the port fails), and the end on request with a DISC once the channels' closes have
// gone; with quiet-after-link on, the station then sends nothing until it starts afresh.
#include "console.h"
#include "primary_station.h"

namespace primary {

namespace {

constexpr char BEL = '\a';

} // namespace

void PrimaryStation::checkTimers(uint8_t state, bool mayPoll) {
    if (discSent) {
        if (timing.repeatDue() || timing.giveUpDue()) {
            endLink(); // no UA: the device has gone or ended the link already
        }
        return;
    }
    if (timing.giveUpDue()) {
        if (timing.paced() && state >= PRIMARY_LINK_CHECK) {
            error.store(IR_ERR_TIMEOUT); // the peer went silent
        }
        giveUp(state);
    } else if (mayPoll && timing.pollHeld() && timing.deferredPollDue(hasWork())) {
        timing.clearDeferred();
        timing.markRepeated();
        if (state == PRIMARY_CONNECTED) {
            sendNext();
        } else {
            sendRr();
        }
    } else if (timing.repeatDue() && (mayPoll || !timing.repeatNow())) {
        timing.markRepeated();
        if (timing.paced()) {
            // Set-up repeats vary, so that one does not meet the light that spoilt the last.
            // The first poll's repeat is not varied: the device waits only so long for it.
            const bool varied = state < PRIMARY_CONNECTED && state != PRIMARY_LINK_CHECK;
            timing.varyRepeat(varied ? random.below(PRIMARY_REPEAT_JITTER_MS) : 0);
        }
        if (state == PRIMARY_LINK_CHECK) {
            // One quick repeat is what the device's short wait covers; later ones keep the usual
            // pace, so that a peer slow to answer at the new speed is not met by ours each time.
            timing.setRepeatSpan(PRIMARY_REPEAT_MS);
            sendRr();
        } else if (state == PRIMARY_CONNECTING && conn.fullProfile()) {
            // The first SNRM says everything; a repeat leaves out what our devices read as absent
            // anyway, as the line has spoilt one SNRM or UA already.
            sendSnrm(true);
        } else if (state == PRIMARY_CONNECTED && conn.fullProfile()) {
            // A poll, not the window again: when only the answer was lost, the device has it
            // all, and its answer to the poll says what to send again.
            sent(conn.poll(port));
        } else {
            sent(conn.repeatHeld(port));
        }
    }
}

void PrimaryStation::giveUp(uint8_t state) {
    if (state == PRIMARY_CONNECTED) {
        consolePrint("%c", BEL);
        if (quietAfterLink.load()) {
            isHalted.store(true); // before the state, which wakes those waiting on the link
        }
    }
    discSent = false;
    linkEndWanted.store(false);
    if (state >= PRIMARY_CONNECTING) {
        // A device answered, or a link was up: the search starts afresh, with quick rounds.
        timing.markSearchStart();
    }
    searchAgain();
}

void PrimaryStation::searchAgain() {
    // Soon again while the search is young, so that one spoilt attempt costs little.
    if (timing.paced() && timing.searchMs() < PRIMARY_QUICK_SEARCH_MS) {
        timing.pauseBeforeSearch(PRIMARY_SEARCH_PAUSE_MS + random.below(PRIMARY_SEARCH_JITTER_MS));
    }
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
