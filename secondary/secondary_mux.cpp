// The secondary's channels in the full profile: several services offered at once, a connect to
// each accepted on its own selector (any other refused), one channel ended by the peer's LM
// disconnect, and TinyTP credits honoured and granted per channel.
#include <cstring>

#include "console.h"
#include "pdu.h"
#include "secondary_station.h"

namespace secondary {

namespace {

constexpr uint16_t LM_CONNECT_LENGTH = 6;
constexpr uint8_t TTP_PARAMETERS_BIT = 0x80;

bool nameIs(const std::array<char, IAS_NAMES_MAX + 1>& reference, const uint8_t* name,
            uint8_t count) {
    return std::strlen(reference.data()) == count &&
           std::memcmp(reference.data(), name, count) == 0;
}

void copyName(std::array<char, IAS_NAMES_MAX + 1>& to, const char* name) {
    const size_t length = std::strlen(name);
    std::memcpy(to.data(), name, length);
    to[length] = '\0';
}

} // namespace

int SecondaryStation::addService(const char* className, const char* attribute, bool raw) {
    const char* const classToUse = className != nullptr ? className : IAS_CLASS_IRCOMM;
    const char* const attributeToUse = attribute != nullptr ? attribute : IAS_ATTR_LSAP_SEL;
    if (std::strlen(classToUse) + std::strlen(attributeToUse) > IAS_NAMES_MAX) {
        return -1;
    }
    const std::lock_guard<std::mutex> hold(serviceLock);
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        const ExtraService& service = extraServices[lane];
        if (offered[lane].load() && std::strcmp(service.className.data(), classToUse) == 0 &&
            std::strcmp(service.attribute.data(), attributeToUse) == 0) {
            return lane;
        }
    }
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        if (!offered[lane].load()) {
            copyName(extraServices[lane].className, classToUse);
            copyName(extraServices[lane].attribute, attributeToUse);
            extraServices[lane].raw = raw;
            offered[lane].store(true);
            return lane;
        }
    }
    return -1;
}

void SecondaryStation::clearServices() {
    const std::lock_guard<std::mutex> hold(serviceLock);
    for (auto& flag : offered) {
        flag.store(false);
    }
}

ChannelInfo SecondaryStation::describeLane(uint8_t lane) {
    ChannelInfo info;
    if (lane >= MUX_CHANNELS) {
        return info;
    }
    info.local = lane == 0 ? OWN_LSAP : link.extra(lane).localSelector();
    info.peer = lanePeer(lane);
    const std::lock_guard<std::mutex> hold(serviceLock);
    info.raw = laneRaw(lane);
    info.className = lane == 0 ? serviceClass : extraServices.at(lane).className;
    info.attribute = lane == 0 ? serviceAttribute : extraServices.at(lane).attribute;
    return info;
}

uint8_t SecondaryStation::lanePeer(uint8_t lane) {
    return lane == 0 ? peerComLsap.load() : link.extra(lane).peerSelector();
}

bool SecondaryStation::laneRaw(uint8_t lane) const {
    return lane == 0 ? serviceRaw : extraServices.at(lane).raw;
}

uint8_t SecondaryStation::extraServiceFor(const uint8_t* className, uint8_t classLength,
                                          const uint8_t* attribute, uint8_t attributeLength,
                                          bool& classKnown) const {
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        const ExtraService& service = extraServices.at(lane);
        if (!offered.at(lane).load() || !nameIs(service.className, className, classLength)) {
            continue;
        }
        classKnown = true;
        if (nameIs(service.attribute, attribute, attributeLength)) {
            return lane;
        }
    }
    return 0;
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
    const bool offeredHere = lane > 0 && lane < MUX_CHANNELS && offered.at(lane).load();
    // The first channel reopens only for the peer's channel it was: another is refused.
    const bool firstFree = engineState < SEC_TTP_CONNECTED || (theirs & 0x7F) == peerComLsap;
    if (tinyTp && lane == 0 && firstFree) {
        peerComLsap = static_cast<uint8_t>(theirs & 0x7F);
        link.clearFirstClose();
        link.credits(0).reset();
        link.credits(0).take(frame[TTP_CONNECT_CREDIT_OFFSET]);
        settingsOwed[0] = false;
        // No IrCOMM parameters to wait for in the raw service.
        setState(serviceRaw ? SEC_IRCOMM_OPEN : SEC_TTP_CONNECTED);
        const uint16_t confirm = ttpBuildConnectConfirm(tx, link.record, theirs, ours);
        ttpSetCredit(tx, TTP_CONNECT_CREDIT_OFFSET, link.laneGrantOpening(0));
        sendTx(confirm);
        return;
    }
    if (tinyTp && offeredHere && link.extra(lane).claim(ours, theirs, laneRaw(lane))) {
        LmChannel& channel = link.extra(lane);
        channel.open(theirs);
        channel.credits.reset();
        channel.credits.take(frame[TTP_CONNECT_CREDIT_OFFSET]);
        settingsOwed.at(lane) = false;
        const uint16_t confirm = ttpBuildConnectConfirm(tx, link.record, theirs, ours);
        ttpSetCredit(tx, TTP_CONNECT_CREDIT_OFFSET, link.laneGrant(lane));
        sendTx(confirm);
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
    const bool raw = laneRaw(lane);
    const bool known = lane == 0 ? engineState >= SEC_TTP_CONNECTED : link.laneOpen(lane);
    if (!known || length < TTP_DATA_OFFSET) {
        return;
    }
    TtpCredits& credits = link.credits(lane);
    if (length == TTP_DATA_OFFSET) {
        credits.take(frame[TTP_CREDIT_OFFSET]); // a credit and no data
        return;
    }
    if (raw ? !link.laneOpen(lane) : commIsDataFrame(frame, length) == 0) {
        return;
    }
    if (lane == 0 && engineState != SEC_IRCOMM_OPEN) {
        setState(SEC_IRCOMM_OPEN);
    }
    const uint8_t paramLength = raw ? 0 : frame[5];
    const uint16_t start = raw ? TTP_DATA_OFFSET : static_cast<uint16_t>(6 + paramLength);
    const auto count = static_cast<uint16_t>(length - start);
    if (!link.laneDeliver(lane, &frame[start], count)) {
        link.refuseIFrame(); // only a peer beyond its credits gets here
        return;
    }
    credits.received();
    credits.take(frame[TTP_CREDIT_OFFSET]);
    settingsOwed.at(lane) = settingsOwed.at(lane) || (!raw && paramLength != 0);
    if (lane == 0) {
        consolePrint("\nIrCOMM length:\t%d:%d", paramLength, count);
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
    uint8_t* const tx = link.tx.data();
    if (link.firstCloseRequested()) {
        link.clearFirstClose();
        if (engineState >= SEC_TTP_CONNECTED) {
            setState(SEC_LINKED);
            sendTx(lmpBuildDisconnect(tx, link.record, false, OWN_LSAP, peerComLsap));
            return true;
        }
    }
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        LmChannel& channel = link.extra(lane);
        if (channel.closeRequested() && channel.state() == CHANNEL_OPEN) {
            channel.end(CHANNEL_END_CLOSED);
            sendTx(lmpBuildDisconnect(tx, link.record, false, channel.localSelector(),
                                      channel.peerSelector()));
            return true;
        }
    }
    for (uint8_t lane = 0; lane < MUX_CHANNELS; ++lane) {
        if (settingsOwed.at(lane) && link.laneOpen(lane) && link.credits(lane).toSend > 0) {
            settingsOwed.at(lane) = false;
            sendLaneData(lane, true);
            return true;
        }
    }
    // Channel by channel in turn: data with a credit carries our grant; a peer out of credits
    // gets a credit alone.
    for (uint8_t i = 0; i < MUX_CHANNELS; ++i) {
        const auto lane = static_cast<uint8_t>((nextLane + i) % MUX_CHANNELS);
        const bool data =
            link.laneOpen(lane) && link.laneHasData(lane) && link.credits(lane).toSend > 0;
        if (!data && !link.laneNeedsCredit(lane)) {
            continue;
        }
        nextLane = static_cast<uint8_t>((lane + 1) % MUX_CHANNELS);
        if (data) {
            sendLaneData(lane, false);
        } else {
            const uint16_t length = ttpBuildCreditResponse(
                tx, link.record, static_cast<uint8_t>(OWN_LSAP + lane), lanePeer(lane));
            ttpSetCredit(tx, TTP_CREDIT_OFFSET, link.laneGrant(lane));
            sendTx(length);
        }
        return true;
    }
    return false;
}

void SecondaryStation::sendLaneData(uint8_t lane, bool lineSettings) {
    link.credits(lane).spend();
    // The line settings go alone: a computer whose channel opens with them takes no data there.
    const std::span<const uint8_t> data =
        lineSettings ? std::span<const uint8_t>{}
                     : link.laneStage(lane, link.dataLimit(FIXED_STAGING_SIZE, 0));
    const auto count = static_cast<uint16_t>(data.size());
    const auto own = static_cast<uint8_t>(OWN_LSAP + lane);
    uint8_t* const tx = link.tx.data();
    const uint16_t length =
        laneRaw(lane)
            ? ttpBuildDataResponse(tx, link.record, own, lanePeer(lane), data.data(), count)
            : commBuildDataResponse(tx, link.record, own, lanePeer(lane), lineSettings, data.data(),
                                    count);
    ttpSetCredit(tx, TTP_CREDIT_OFFSET, link.laneGrant(lane));
    sendTx(length);
}

} // namespace secondary
