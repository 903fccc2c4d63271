// The secondary's channels in the full profile: several services offered at once, a connect to
// each accepted on its own selector (any other refused), one channel ended by the peer's LM
// disconnect, and TinyTP credits honoured and granted per channel.
#include "console.h"
#include "pdu.h"
#include "secondary_station.h"

namespace secondary {

namespace {

constexpr uint16_t LM_CONNECT_LENGTH = 6;
constexpr uint8_t TTP_PARAMETERS_BIT = 0x80;

} // namespace

int SecondaryStation::addService(const char* className, const char* attribute, bool raw) {
    return ias.add(className, attribute, raw);
}

void SecondaryStation::clearServices() {
    ias.clear();
}

ChannelInfo SecondaryStation::describeLane(uint8_t lane) {
    ChannelInfo info = mux.describe(lane);
    if (lane < MUX_CHANNELS) {
        ias.describe(lane, info); // the mode of the service offered there
    }
    return info;
}

bool SecondaryStation::laneRaw(uint8_t lane) const {
    return lane == 0 ? serviceRaw : ias.raw(lane);
}

void SecondaryStation::handleLmControlFull(const uint8_t* frame, uint16_t length) {
    if (length < LM_CONNECT_LENGTH) {
        return; // no operation and parameter: nothing to take
    }
    const auto ours = static_cast<uint8_t>(frame[2] & 0x7F);
    const uint8_t theirs = frame[3];
    if (frame[4] == LMP_CONNECT) {
        acceptConnect(frame, length);
    } else if (frame[4] == LMP_DISCONNECT) {
        takeDisconnect(ours, theirs);
    }
}

void SecondaryStation::acceptConnect(const uint8_t* frame, uint16_t length) {
    const auto ours = static_cast<uint8_t>(frame[2] & 0x7F);
    const uint8_t theirs = frame[3];
    uint8_t* const tx = link.tx.data();
    if (ours == IAS_LSAP && length == LM_CONNECT_LENGTH) {
        sendTx(lmpBuildConnectConfirm(tx, link.record, theirs, ours));
        if (engineState == SEC_LINKED) {
            setState(SEC_LM_CONNECTED);
        }
        return;
    }
    const bool tinyTp = length > LM_CONNECT_LENGTH && (frame[6] & TTP_PARAMETERS_BIT) == 0;
    const uint8_t lane = ours >= OWN_LSAP ? static_cast<uint8_t>(ours - OWN_LSAP) : MUX_CHANNELS;
    const bool offeredHere = lane > 0 && ias.offered(lane);
    // The first channel reopens only for the peer's channel it was: another is refused.
    const bool firstFree = engineState < SEC_TTP_CONNECTED || (theirs & 0x7F) == peerComLsap;
    if (tinyTp && lane == 0 && firstFree) {
        peerComLsap = static_cast<uint8_t>(theirs & 0x7F);
        link.clearFirstClose();
        settingsOwed[0] = false;
        // No IrCOMM parameters to wait for in the raw service.
        setState(serviceRaw ? SEC_IRCOMM_OPEN : SEC_TTP_CONNECTED);
        sendTx(mux.buildConfirm(0, ours, theirs, frame[TTP_CONNECT_CREDIT_OFFSET]));
        return;
    }
    if (tinyTp && offeredHere && link.extra(lane).claim(ours, theirs, laneRaw(lane))) {
        link.extra(lane).open(theirs);
        settingsOwed.at(lane) = false;
        sendTx(mux.buildConfirm(lane, ours, theirs, frame[TTP_CONNECT_CREDIT_OFFSET]));
        consolePrint("\nchannel %d open:\t%d -> %d", lane, theirs, ours);
        return;
    }
    // No such service, one already in use, or TinyTP parameters we do not serve.
    sendTx(lmpBuildDisconnect(tx, link.record, false, ours, theirs));
}

void SecondaryStation::takeDisconnect(uint8_t ours, uint8_t theirs) {
    if (ours == IAS_LSAP) {
        if (engineState == SEC_LM_CONNECTED) {
            setState(SEC_LINKED);
        }
        return;
    }
    if (ours == OWN_LSAP) {
        if (engineState >= SEC_TTP_CONNECTED) {
            setState(SEC_LINKED); // the first channel ends, the link and the others stay
        }
        return;
    }
    const uint8_t lane = ours > OWN_LSAP ? static_cast<uint8_t>(ours - OWN_LSAP) : MUX_CHANNELS;
    if (lane < MUX_CHANNELS && link.extra(lane).state() == CHANNEL_OPEN &&
        link.extra(lane).peerSelector() == theirs) {
        link.extra(lane).end(CHANNEL_END_PEER);
    }
}

void SecondaryStation::takeLaneData(uint8_t lane, const uint8_t* frame, uint16_t length) {
    const bool known = lane == 0 ? engineState >= SEC_TTP_CONNECTED : link.laneOpen(lane);
    if (!known) {
        return;
    }
    const LmDataPdu pdu = mux.readData(lane, frame, length);
    if (lane == 0 && pdu.kind == LM_PDU_DATA && engineState != SEC_IRCOMM_OPEN) {
        setState(SEC_IRCOMM_OPEN); // before the data: the opening empties the queues
    }
    if (!mux.takeData(lane, frame, pdu) || pdu.kind != LM_PDU_DATA) {
        return;
    }
    settingsOwed.at(lane) = settingsOwed.at(lane) || pdu.params != 0;
    if (lane == 0) {
        consolePrint("\nIrCOMM length:\t%d:%d", pdu.params, pdu.count);
    }
}

bool SecondaryStation::handleInformationFull(uint16_t length) {
    const uint8_t control = link.rx[1];
    const bool final = (control & LAP_PF) != 0;
    // Whatever the frame asks of us waits for the primary's last frame of the turn.
    link.openTurn();
    if (lapNs(control) != link.record.vr) {
        // A frame again, or one after a gap: our Nr at the reply says where to go on from.
        link.takeNrIfValid(control);
        if (final) {
            replyFull();
        }
        return true;
    }
    if (!acceptIFrame(control)) {
        return false; // an Nr never sent: no reply
    }
    const uint8_t* const frame = link.rx.data();
    const bool wantsFrame = length >= 3 && ((frame[2] & LMP_CONTROL) != 0 || frame[2] == IAS_LSAP);
    if (wantsFrame && !link.windowHasSlot()) {
        link.refuseIFrame(); // no place for our answer yet: the primary asks again
    } else {
        ++link.watch().exchanges;
        handleIFrame(frame, length);
    }
    if (final) {
        replyFull();
    }
    return true;
}

bool SecondaryStation::linkEndDue() {
    if (!linkEndWanted.load() || link.held.awaitingAck || link.firstCloseRequested()) {
        return false;
    }
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        if (link.extra(lane).closeRequested() && link.extra(lane).state() == CHANNEL_OPEN) {
            return false; // its LM disconnect goes first
        }
    }
    return true;
}

void SecondaryStation::replyFull() {
    if (linkEndDue()) {
        // Alone, once the LM disconnects were acknowledged; the primary's DISC ends the link.
        link.resetWindow();
        sendTx(lapBuildDisc(link.tx.data(), link.record, false));
        return;
    }
    link.openTurn();
    while (link.turnHasRoom() && replyOneFull()) {
    }
    noteError(link.endTurn(port));
}

bool SecondaryStation::replyOneFull() {
    if (const uint16_t length = mux.closeFirst(engineState >= SEC_TTP_CONNECTED); length != 0) {
        setState(SEC_LINKED);
        sendTx(length);
        return true;
    }
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        LmChannel& channel = link.extra(lane);
        if (channel.closeRequested() && channel.state() == CHANNEL_OPEN) {
            sendTx(mux.closeLane(lane, true));
            return true;
        }
    }
    for (uint8_t lane = 0; lane < MUX_CHANNELS; ++lane) {
        if (settingsOwed.at(lane) && link.laneOpen(lane) && link.credits(lane).toSend > 0) {
            settingsOwed.at(lane) = false;
            sendTx(mux.buildData(lane, true));
            return true;
        }
    }
    const uint16_t length = mux.buildNextTurn(0);
    if (length == 0) {
        return false;
    }
    sendTx(length);
    return true;
}

} // namespace secondary
