// The secondary's IrLAP engine: discovery, connection, the answer to every poll, the give-up.
#include "console.h"
#include "pdu.h"
#include "secondary_station.h"

namespace secondary {

namespace {

// SNRM: connection address at 10, parameters from 11.
constexpr uint16_t SNRM_MIN_LENGTH = 11;

} // namespace

SecondaryStation::SecondaryStation(FramePort& framePort) : port(framePort), timing(framePort) {
    setService(nullptr, nullptr, false);
}

void SecondaryStation::setState(SecondaryState next) {
    const bool linkEnds = next < SEC_LINKED && engineState.load() >= SEC_LINKED;
    if (next == SEC_IRCOMM_OPEN) {
        // The state with the clear, so a text sent once the channel shows open is never emptied.
        link.openChannel(
            [](void* station) {
                static_cast<SecondaryStation*>(station)->engineState.store(SEC_IRCOMM_OPEN);
            },
            this);
    } else {
        engineState.store(next);
    }
    if (next < SEC_LINKED) {
        link.endExtras(CHANNEL_END_LINK);
        settingsOwed.fill(false);
        linkEndWanted.store(false);
    }
    if (linkEnds && quietAfterLink.load()) {
        const std::lock_guard<std::mutex> hold(listenLock);
        answersDiscovery.store(listening);
    }
    if (next != SEC_IRCOMM_OPEN) {
        link.setPhase(next >= SEC_LINKED ? LINK_CONNECTED : LINK_SEARCHING);
    }
}

void SecondaryStation::noteError(IrErr error) {
    if (error == IR_OK) {
        return;
    }
    // Shown once while it lasts: a port that has gone fails every read. A port that has gone
    // was named by the call that failed, and the program says it is lost.
    const bool fresh = lastErr.exchange(error) != error;
    if (fresh && error != IR_ERR_PORT_LOST) {
        consoleError("\nsecondary port error: %s", irErrText(error));
    }
    if (fresh && error == IR_ERR_PORT_LOST) {
        link.notifyLanes(); // an idle station changes no state, yet a listen must learn of it
    }
}

void SecondaryStation::sendTx(uint16_t length) {
    noteError(link.sendHeld(port, length));
}

void SecondaryStation::sendRr() {
    noteError(link.sendRr(port));
}

void SecondaryStation::answerPoll(uint8_t dlsap) {
    if (paced()) {
        replyFull();
        return;
    }
    if (link.held.awaitingAck) {
        noteError(link.resendHeld(port)); // new data would have to take its Ns
    } else if (engineState == SEC_IRCOMM_OPEN && link.hasData()) {
        sendPending(dlsap, false);
    } else {
        sendRr();
    }
}

// Only a change reaches the port, and the speed is ours only once the port took it.
IrErr SecondaryStation::setSpeed(uint32_t speed) {
    if (speed == linkSpeed.load()) {
        return IR_OK;
    }
    const IrErr result = port.setSpeed(speed);
    if (result == IR_OK) {
        linkSpeed.store(speed);
    }
    return result;
}

void SecondaryStation::endTerms() {
    noteError(setSpeed(LAP_FIXED_TERMS.speed));
    link.terms = LAP_FIXED_TERMS;
    port.setPeerNeeds(lapLeadBofs(LAP_FIXED_TERMS), 0);
}

void SecondaryStation::giveUp() {
    setState(SEC_IDLE);
    endTerms();
}

void SecondaryStation::dropLink() {
    linkMade = false;
    lapResetLink(link.record, ownAddress.value);
    link.resetWindow();
    giveUp();
}

void SecondaryStation::setListening(bool on) {
    const std::lock_guard<std::mutex> hold(listenLock);
    listening = on;
    if (on) {
        answersDiscovery.store(true);
    }
}

bool SecondaryStation::addressMatches(uint8_t addressByte) const {
    return (addressByte & 0xFE) == link.record.connectionAddress;
}

bool SecondaryStation::takeNr(uint8_t control) {
    if (!paced()) {
        lapTakeNr(link.record, link.held, control);
        return true;
    }
    return peerKeptToFrames(link.takeNr(control));
}

bool SecondaryStation::acceptIFrame(uint8_t control) {
    if (!paced()) {
        lapAcceptIFrame(link.record, control);
        return true;
    }
    return peerKeptToFrames(link.acceptIFrame(control));
}

bool SecondaryStation::peerKeptToFrames(bool validNr) {
    if (!validNr && link.peerBroken()) {
        consoleError("\nlink dropped: the peer acknowledged frames never sent");
        lastErr.store(IR_ERR_PEER);
        dropLink();
    }
    return validNr;
}

bool SecondaryStation::handleSnrm(uint16_t length) {
    const RxFrame& rx = link.rx;
    if (length < SNRM_MIN_LENGTH) {
        return false;
    }
    std::array<uint8_t, 4> own{};
    lapPutAddress(own.data(), link.record.deviceAddress);
    for (int i = 0; i < 4; ++i) {
        if (rx[6 + i] != own[i]) {
            return false;
        }
    }
    const uint8_t* list = &rx[SNRM_MIN_LENGTH];
    const auto listLength = static_cast<uint16_t>(length - SNRM_MIN_LENGTH);
    uint8_t code = lapFindParam(list, listLength, 0x01);
    LapOffer answer = linkOffer;
    if (linkOffer.negotiates) {
        code = lapCommonBaudBits(linkOffer, list, listLength);
        answer.baudBits = code;
        // A brief SNRM is a repeat under stray light: the UA is kept as short.
        answer.brief = lapListIsBrief(list, listLength);
        link.terms = lapTakeTerms(linkOffer, code, list, listLength);
    }
    // The fixed profile only prints what the SNRM offers and stays at 9600.
    const uint32_t shown = linkOffer.negotiates ? link.terms.speed : lapBaudFromCode(code);
    consolePrint("\nIrLAP addr:\t0x%02X", (rx[10] & 0xFE) >> 1);
    consolePrint("\nIrLAP baud:\t0x%02X -> %lu", code, static_cast<unsigned long>(shown));
    link.watch().peerAddress = lapGetAddress(&rx[2]);
    link.watch().speed = shown;
    link.record.connectionAddress = static_cast<uint8_t>(rx[10] & 0xFE);
    // A new connection: the peer numbers its frames from 0 again, DISC or not.
    link.record.vr = 0;
    link.record.vs = 0;
    link.resetWindow();
    sendTx(lapBuildUaParams(link.tx.data(), link.record, &rx[2], answer));
    setState(SEC_LINKED);
    linkMade = linkOffer.negotiates && link.terms.speed != LAP_FIXED_TERMS.speed;
    if (linkOffer.negotiates) {
        port.setPeerNeeds(lapLeadBofs(link.terms), link.terms.turnaroundUs);
        const IrErr switched = setSpeed(link.terms.speed);
        if (switched != IR_OK) {
            // Carrying on at the wrong speed would only look like a link.
            consoleError("\nspeed switch to %lu failed: %s",
                         static_cast<unsigned long>(link.terms.speed), irErrText(switched));
            lastErr.store(switched);
            dropLink();
            return false;
        }
    }
    return true;
}

bool SecondaryStation::handleDisc() {
    if (!addressMatches(link.rx[0])) {
        return false;
    }
    sendTx(lapBuildUa(link.tx.data(), link.record));
    lapResetLink(link.record, ownAddress.value);
    link.resetWindow();
    giveUp();
    return true;
}

bool SecondaryStation::handleUnnumbered(uint16_t length) {
    switch (link.rx[1] & 0xEF) {
    case LAP_XID_COMMAND:
        return handleXid(length);
    case LAP_SNRM:
        return handleSnrm(length);
    case LAP_DISC:
        return handleDisc();
    default:
        return false; // UA, DM, FRMR, UI, TEST, XID responses: nothing to answer
    }
}

bool SecondaryStation::handleSupervisory() {
    const uint8_t control = link.rx[1];
    if ((control & 0x0F) != LAP_RR || !addressMatches(link.rx[0])) {
        return false; // RNR, REJ and SREJ are not served
    }
    if (!takeNr(control)) {
        return false;
    }
    ++link.watch().exchanges; // before the reply takes more bytes from the queue
    answerPoll(peerComLsap);
    return true;
}

bool SecondaryStation::handleInformation(uint16_t length) {
    const uint8_t control = link.rx[1];
    if (!addressMatches(link.rx[0])) {
        return false;
    }
    if (paced()) {
        return handleInformationFull(length);
    }
    if (lapNs(control) == lapSeqPrevious(link.record.vr)) {
        // The primary repeats what we accepted, so our reply was lost: give it again.
        if (link.held.awaitingAck) {
            noteError(link.resendHeld(port));
        } else {
            sendRr();
        }
        return true;
    }
    if (lapNs(control) != link.record.vr || !acceptIFrame(control)) {
        return false; // out of sequence, or an Nr never sent: no reply
    }
    lapNoteAck(link.held, link.record);
    ++link.watch().exchanges;
    handleIFrame(link.rx.data(), length);
    return true;
}

// Frame-paced: a poll of our connection that arrived damaged is answered as an RR that
// acknowledges nothing new, so the primary resends at once instead of after its silent wait.
void SecondaryStation::answerDamagedPoll() {
    const uint8_t address = link.rx[0];
    if (engineState >= SEC_LINKED && addressMatches(address) && (address & LAP_CR) != 0 &&
        (link.rx[1] & LAP_PF) != 0) {
        answerPoll(peerComLsap);
    }
}

void SecondaryStation::step() {
    timing.beginStep();
    seenByte = false;
    const uint8_t state = engineState;
    if (shownState != state) {
        consolePrint("\n%s state:\t%d", stateLabel, state);
        timing.restart();
        shownState = state;
    }
    if (!timing.readDue()) {
        if (port.frameBegun(0)) {
            // The next step reads; the read waits for the rest of the frame.
            timing.frameBegun();
            seenByte = true;
        } else if (paced()) {
            noteError(port.takeError()); // an idle device sends nothing that would find it
        }
        // Stray bytes make every step see a byte, so they must not hold the give-up off.
        if (state != SEC_IDLE && timing.quietTooLong()) {
            if (paced() && state >= SEC_LINKED && lastErr.load() != IR_ERR_PORT_LOST &&
                !timing.firstFrameMissed()) {
                lastErr.store(IR_ERR_TIMEOUT); // the peer went silent, not the port
            }
            giveUp();
        }
        return;
    }
    timing.readDone();
    const LapFrameIn in = port.receiveFrame(link.rx);
    noteError(in.error);
    // A damaged frame followed by more is not the primary's last: its turn goes on.
    if (in.damaged && paced() && !port.frameBegun(lapQuietMs(linkSpeed.load()))) {
        answerDamagedPoll();
    }
    if (in.length < 2) {
        return; // nothing intact, or no control byte
    }
    const uint8_t control = link.rx[1];
    bool valid = false;
    if ((control & 3) == 3) {
        valid = handleUnnumbered(in.length);
    } else if ((control & 3) == 1) {
        valid = handleSupervisory();
    } else {
        valid = handleInformation(in.length);
    }
    if (valid) {
        timing.validFrame(linkMade);
        linkMade = false;
    }
    link.noteStepEnd();
}

} // namespace secondary
