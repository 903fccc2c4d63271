// The full profile's window: I-frames held until the peer's Nr passes them, sent again from the
// first one missing at every turn, and a turn filled up to the peer's window and the line's
// capacity.
#include <algorithm>

#include "lap_connection.h"
#include "pdu.h"

namespace {

// A TinyTP data PDU with an IrCOMM parameter length and no parameters: the most a PDU may carry
// beside its data and still be cut again.
constexpr uint16_t PLAIN_DATA_HEADER = TTP_DATA_OFFSET + 1;

} // namespace

void LapConnection::resetWindow() {
    lapWindow.reset(record.vs);
    turnOpen = false;
    acknowledgedSome = false;
    held.awaitingAck = false;
    turnsUnanswered = 0;
    turnsAnswered = 0;
    turnSentAtMs = 0;
    turnAirMs = 0;
    answeredAtMs = 0;
    lossNoted = false;
    for (LapTakenBack& lane : takenBack) {
        lane.clear();
    }
}

void LapConnection::openTurn() {
    turnOpen = true;
    // Bytes taken back for a channel that has ended since are nobody's.
    for (uint8_t lane = 0; lane < MUX_CHANNELS; ++lane) {
        if (takenBack.at(lane).count() != 0 && !laneOpen(lane)) {
            takenBack.at(lane).clear();
        }
    }
}

bool LapConnection::reclaimable() {
    for (uint8_t i = 0; i < lapWindow.inFlight(); ++i) {
        const LapHeldIFrame& frame = lapWindow.at(i);
        // A frame sent again may be on its way still, past the Nr that called it lost.
        if (frame.resent) {
            return false;
        }
        const bool pdu = frame.length >= TTP_DATA_OFFSET && (frame.frame[2] & LMP_CONTROL) == 0 &&
                         (frame.frame[2] & 0x7F) != IAS_LSAP;
        if (!pdu || frame.length - frame.userBytes > PLAIN_DATA_HEADER || !laneOpen(frame.lane)) {
            return false;
        }
    }
    return true;
}

void LapConnection::reclaimShrunk() {
    const uint8_t frames = lapWindow.inFlight();
    // An answer that came sooner than our turn took on the air was sent before the peer had all of
    // it: the frames it calls lost may still arrive.
    const bool answered =
        turnsUnanswered == 0 && turnsAnswered == 1 && answeredAtMs - turnSentAtMs >= turnAirMs;
    // Frames queued in this turn come last and have not gone yet: nothing of theirs was lost.
    if (!linkOffer.negotiates || frames == 0 || !lapWindow.at(0).sent || !answered) {
        return;
    }
    if (!lossNoted) {
        fieldSizer.lost(); // the peer's answer says these never came
        lossNoted = true;
    }
    const uint16_t field = currentField();
    bool oversized = false;
    for (uint8_t i = 0; i < frames; ++i) {
        oversized = oversized || lapWindow.at(i).length - 2 > field;
    }
    if (!oversized || !reclaimable()) {
        return;
    }
    // Newest first, so each lane's bytes end up in their order, before what is queued.
    for (uint8_t i = frames; i-- > 0;) {
        const LapHeldIFrame& frame = lapWindow.at(i);
        const auto data = std::span<const uint8_t>(frame.frame)
                              .subspan(frame.length - frame.userBytes, frame.userBytes);
        if (!takenBack.at(frame.lane).prepend(data)) {
            return; // cannot happen: a window's data always fits; the frames go as they are
        }
        TtpCredits& lane = credits(frame.lane);
        if (frame.length > TTP_DATA_OFFSET && lane.toSend < UINT8_MAX) {
            ++lane.toSend; // a data PDU the peer never got spent no credit
        }
        const auto grant = static_cast<uint8_t>(frame.frame[TTP_CREDIT_OFFSET] & 0x7F);
        lane.granted = lane.granted > grant ? static_cast<uint8_t>(lane.granted - grant) : 0;
    }
    const uint8_t first = lapWindow.oldestNs();
    lapWindow.reset(first);
    record.vs = first;
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
    if (turnsUnanswered != 0) {
        turnsAnswered = turnsUnanswered;
        turnsUnanswered = 0;
        answeredAtMs = clock != nullptr ? clock->nowMs() : 0;
    }
    const LapAcknowledged taken = lapWindow.acknowledge(nr);
    for (uint8_t i = 0; i < taken.clean; ++i) {
        fieldSizer.clean();
    }
    acknowledgedSome = acknowledgedSome || taken.frames > 0;
    held.awaitingAck = lapWindow.inFlight() > 0;
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
    const uint8_t frames = lapWindow.inFlight();
    if (!linkOffer.negotiates || lapWindow.full(terms.window)) {
        return false;
    }
    if (frames == 0) {
        return true; // a turn always carries one frame
    }
    uint32_t used = 0;
    for (uint8_t i = 0; i < frames; ++i) {
        const LapHeldIFrame& frame = lapWindow.at(i);
        used += lapWireLength(frame.frame.data(), frame.length, lapLeadBofs(terms));
    }
    // A field of the current size with a few escapes: close enough to stay inside the reserve.
    const uint16_t field = currentField();
    const uint32_t next = lapLeadBofs(terms) + 2 + LAP_FRAME_OVERHEAD + field + field / 32U;
    return used + next <= lapTurnCapacity(terms);
}

IrErr LapConnection::endTurn(FramePort& port) {
    turnOpen = false;
    const bool lossCounted = std::exchange(lossNoted, false);
    const uint8_t frames = lapWindow.inFlight();
    if (frames == 0) {
        return sendRrNow(port);
    }
    bool again = false;
    for (uint8_t i = 0; i < frames; ++i) {
        LapHeldIFrame& frame = lapWindow.at(i);
        again = again || frame.sent;
        frame.resent = frame.resent || frame.sent;
    }
    if (again && !lossCounted) {
        fieldSizer.lost(); // once a turn, however many frames the loss took with it
    }
    if (turnsUnanswered < UINT8_MAX) {
        ++turnsUnanswered;
    }
    clock = &port;
    turnSentAtMs = port.nowMs();
    uint64_t wireBits = 0;
    for (uint8_t i = 0; i < frames; ++i) {
        LapHeldIFrame& frame = lapWindow.at(i);
        wireBits +=
            uint64_t{10} * lapWireLength(frame.frame.data(), frame.length, lapLeadBofs(terms));
    }
    turnAirMs = static_cast<uint32_t>(wireBits * 1000 / (terms.speed != 0 ? terms.speed : 9600));
    for (uint8_t i = 0; i < frames; ++i) {
        LapHeldIFrame& frame = lapWindow.at(i);
        LapWindow::stamp(frame, record.vr, i + 1 == frames);
        frame.sent = true;
        const IrErr result = port.sendFrame(frame.frame.data(), frame.length);
        if (result != IR_OK) {
            return result;
        }
    }
    return IR_OK;
}
