// The full profile's window: I-frames held until the peer's Nr passes them, sent again from the
// first one missing at every turn, and a turn filled up to the peer's window and the line's
// capacity.
#include <algorithm>

#include "lap_connection.h"

void LapConnection::resetWindow() {
    lapWindow.reset(record.vs);
    turnOpen = false;
    acknowledgedSome = false;
    held.awaitingAck = false;
}

uint16_t LapConnection::currentField() {
    const uint16_t fieldLimit = lapFieldLimit(terms);
    if (fieldLimit != fieldSizerLimit) {
        fieldSizer.start(fieldLimit);
        fieldSizerLimit = fieldLimit;
    }
    return fieldSizer.size();
}

bool LapConnection::fullTakeNr(uint8_t nr) {
    if (lapWindow.inFlight() == 0) {
        lapWindow.reset(record.vs); // a new link, or the record set before any frame went
    }
    if (!lapWindow.validNr(nr)) {
        ++invalidNrTotal;
        if (invalidNrRun < UINT8_MAX) {
            ++invalidNrRun;
        }
        return false;
    }
    invalidNrRun = 0;
    const LapAcknowledged taken = lapWindow.acknowledge(nr);
    for (uint8_t i = 0; i < taken.clean; ++i) {
        fieldSizer.clean();
    }
    acknowledgedSome = acknowledgedSome || taken.frames > 0;
    held.awaitingAck = lapWindow.inFlight() > 0;
    if (taken.frames > 0) {
        notifyLanes(); // fewer bytes unacknowledged
    }
    return true;
}

void LapConnection::takeNrIfValid(uint8_t control) {
    if (linkOffer.negotiates && lapWindow.inFlight() > 0 && lapWindow.validNr(lapNr(control))) {
        fullTakeNr(lapNr(control));
    }
}

IrErr LapConnection::queueIFrame(uint16_t length) {
    if (lapWindow.inFlight() == 0) {
        lapWindow.reset(record.vs);
    }
    if (lapWindow.full(LAP_WINDOW_MAX) || length > SIR_MAX_CONTENT) {
        return IR_ERR_STATE; // the engines look for room first; a frame never replaces another
    }
    const std::span<uint8_t> slot = lapWindow.buildSpace();
    std::copy_n(tx.begin(), length, slot.begin());
    slot[1] = static_cast<uint8_t>((slot[1] & 0xF1) | (lapWindow.nextNs() << 1));
    const uint16_t user = stagedCount.load();
    lapWindow.add(length, stagedLane.load(), user);
    stagedCount.store(0); // counted by the window from here
    record.vs = lapWindow.nextNs();
    held.awaitingAck = true;
    return IR_OK;
}

bool LapConnection::turnHasRoom() {
    if (!linkOffer.negotiates) {
        return false;
    }
    const uint16_t field = currentField();
    if (lapWindow.full(fieldSizer.turnFrames(terms.window))) {
        return false;
    }
    LapTurn turn(terms);
    for (uint8_t i = 0; i < lapWindow.inFlight(); ++i) {
        const LapHeldIFrame& frame = lapWindow.at(i);
        turn.add(lapWireLength(frame.frame.data(), frame.length, lapLeadBofs(terms)));
    }
    // A field of the current size with a few escapes: close enough to stay inside the reserve.
    return turn.fits(lapLeadBofs(terms) + 2 + LAP_FRAME_OVERHEAD + field + field / 32U);
}

IrErr LapConnection::endTurn(FramePort& port) {
    turnOpen = false;
    const uint8_t frames = lapWindow.inFlight();
    if (frames == 0) {
        return sendRrNow(port);
    }
    // The oldest frame is the one the peer lacks. Once for each loss, however many frames it took
    // with it: a frame larger than today's field was cut for already.
    const LapHeldIFrame& oldest = lapWindow.at(0);
    if (oldest.sendings > 0 && oldest.length <= currentField() + 2) {
        fieldSizer.lost();
    }
    if (oldest.sendings >= LAP_STUCK_SENDINGS) {
        // Interference that comes at a steady beat (a lamp's flicker) meets a turn begun at the
        // same moment after the peer's each time, and the oldest frame never passes: a varying
        // pause moves the turn against the beat.
        port.pauseMs(LAP_STUCK_PAUSES_MS.at(stuckTurns));
        stuckTurns = static_cast<uint8_t>((stuckTurns + 1) % LAP_STUCK_PAUSES_MS.size());
    }
    for (uint8_t i = 0; i < frames; ++i) {
        LapHeldIFrame& frame = lapWindow.at(i);
        LapWindow::stamp(frame, record.vr, i + 1 == frames);
        if (frame.sendings > 0) {
            linkWatch.framesResent.fetch_add(1);
        }
        frame.sendings = frame.sendings < UINT8_MAX ? frame.sendings + 1 : UINT8_MAX;
        const IrErr result = port.sendFrame(frame.frame.data(), frame.length);
        if (result != IR_OK) {
            return result;
        }
    }
    return IR_OK;
}
