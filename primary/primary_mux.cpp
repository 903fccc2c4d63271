// The primary's channels in the full profile: further channels opened over the link (IAS lookup,
// TinyTP connect, IrCOMM parameters), each frame routed by its selector, TinyTP credits honoured
// and granted per channel, and the LM disconnect of one channel.
#include <cstring>
#include <utility>

#include "console.h"
#include "ias_server.h"
#include "primary_station.h"

namespace primary {

namespace {

constexpr uint16_t TTP_HEADER_END = 5;

void copyName(std::array<char, IAS_NAMES_MAX + 1>& to, const char* name) {
    const size_t length = std::strlen(name);
    std::memcpy(to.data(), name, length);
    to[length] = '\0';
}

} // namespace

int PrimaryStation::addChannel(const char* className, const char* attribute, int lsap, bool raw) {
    return addLane(className, attribute, lsap, raw, false);
}

int PrimaryStation::addLane(const char* className, const char* attribute, int lsap, bool raw,
                            bool query) {
    const char* const classToUse = className != nullptr ? className : IAS_CLASS_IRCOMM;
    const char* const attributeToUse = attribute != nullptr ? attribute : IAS_ATTR_LSAP_SEL;
    if (lsap > 127 || std::strlen(classToUse) + std::strlen(attributeToUse) > IAS_NAMES_MAX) {
        return -1;
    }
    const std::lock_guard<std::mutex> hold(laneLock);
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        LmChannel& channel = conn.extra(lane);
        // The engine reads a lane's request only once it is claimed, so an idle one is ours.
        if (channel.state() != CHANNEL_IDLE) {
            continue;
        }
        copyName(laneClass[lane], classToUse);
        copyName(laneAttribute[lane], attributeToUse);
        laneAsks[lane] = lsap < 0;
        laneQuery[lane] = query;
        const auto peer = static_cast<uint8_t>(lsap < 0 ? 0 : lsap);
        if (channel.claim(static_cast<uint8_t>(PRIMARY_OWN_LSAP + lane), peer, raw)) {
            return lane;
        }
    }
    return -1;
}

void PrimaryStation::endLanes() {
    conn.endExtras(CHANNEL_END_LINK);
    laneStep.fill(LANE_NONE);
}

void PrimaryStation::readConnectedFull(uint16_t length, uint8_t expected, bool heldBefore) {
    const bool isI = length >= 2 && (conn.rx[1] & 1) == 0;
    if (!isRr(length) && !isI) {
        return;
    }
    (void)heldBefore; // the window counts what was acknowledged
    timing.markAnswered();
    const bool took = isI && conn.record.vr != expected && takeLaneFrame(length);
    peerTurnMoved = conn.takeProgress() || took || peerTurnMoved;
    if ((conn.rx[1] & LAP_PF) == 0) {
        return; // the peer's turn goes on: the answer waits for its last frame
    }
    ++conn.watch().exchanges;
    const bool moved = std::exchange(peerTurnMoved, false);
    const bool fresh = !conn.held.awaitingAck && hasWork();
    // Frames still in flight were lost: they go again at once, not at the next tick.
    if (timing.paced() && !moved && !fresh && !conn.held.awaitingAck) {
        timing.deferPoll();
    } else {
        timing.markMoved();
        sendNext();
    }
}

// An I-frame just accepted; false when its data had to be refused (the peer sends it again).
bool PrimaryStation::takeLaneFrame(uint16_t length) {
    if (length < TTP_HEADER_END) {
        return true; // no LM-MUX operation or TinyTP header: nothing to take
    }
    const int lane = mux.laneBySelector(conn.rx[2] & 0x7F);
    if (lane < 0) {
        return true; // a channel we no longer have
    }
    const auto index = static_cast<uint8_t>(lane);
    if ((conn.rx[2] & LMP_CONTROL) != 0) {
        takeLaneControl(index, length);
        return true;
    }
    if (laneStep[index] == LANE_IAS_QUERY_WAIT) {
        takeLaneIas(index, length);
        return true;
    }
    return conn.laneOpen(index) ? takeLaneData(index, length) : true;
}

void PrimaryStation::takeLaneControl(uint8_t lane, uint16_t length) {
    const uint8_t operation = conn.rx[4];
    if (operation == LMP_DISCONNECT) {
        if (lane == 0) {
            if (conn.channelOpen()) {
                conn.setPhase(LINK_CONNECTED); // the first channel ends; the link stays
            }
            return;
        }
        const uint8_t step = laneStep[lane];
        const ChannelEnd why = step == LANE_TTP_WAIT ? CHANNEL_END_REFUSED
                               : step == LANE_NONE   ? CHANNEL_END_PEER
                                                     : CHANNEL_END_NO_SERVICE;
        conn.extra(lane).end(why);
        laneStep[lane] = LANE_NONE;
        return;
    }
    if (operation != LMP_CONNECT_CONFIRM || lane == 0) {
        return;
    }
    if (laneStep[lane] == LANE_IAS_CONNECT_WAIT) {
        laneStep[lane] = LANE_IAS_QUERY;
    } else if (laneStep[lane] == LANE_TTP_WAIT) {
        LmChannel& channel = conn.extra(lane);
        conn.credits(lane).take(
            length > TTP_CONNECT_CREDIT_OFFSET ? conn.rx[TTP_CONNECT_CREDIT_OFFSET] : 0);
        channel.open(channel.peerSelector());
        laneStep[lane] = channel.raw() ? LANE_NONE : LANE_PARAMS;
    }
}

void PrimaryStation::takeLaneIas(uint8_t lane, uint16_t length) {
    if (iasIsResponse(conn.rx.data(), length) == 0) {
        return;
    }
    if (laneQuery[lane]) {
        if (!conn.extra(lane).closeRequested()) {
            keepAnswer(length); // a query given up may not answer the next one
            answered.store(true);
        }
        laneFailed[lane] = false;
        laneStep[lane] = LANE_IAS_DISCONNECT;
        return;
    }
    const IasLookup lookup = iasReadLookup(conn.rx.data(), length);
    const bool named = lookup.result == IAS_LOOKUP_FOUND && lookup.value <= 127;
    if (named) {
        conn.extra(lane).setPeer(static_cast<uint8_t>(lookup.value));
    } else {
        missingService.fetch_add(1);
    }
    laneFailed[lane] = !named;
    laneStep[lane] = LANE_IAS_DISCONNECT;
}

bool PrimaryStation::takeLaneData(uint8_t lane, uint16_t length) {
    const LmDataPdu pdu = mux.readData(lane, conn.rx.data(), length);
    if (!mux.takeData(lane, conn.rx.data(), pdu)) {
        return false;
    }
    if (lane == 0 && pdu.kind == LM_PDU_DATA) {
        if (mux.laneRaw(0)) {
            consolePrint("\nTinyTP length:\t%d", pdu.count);
        } else {
            showCommLengths(length);
        }
    }
    return true;
}

bool PrimaryStation::hasWork() {
    if (!conn.fullProfile()) {
        return conn.hasData();
    }
    if ((conn.firstCloseRequested() && conn.channelOpen()) || linkEndWanted.load()) {
        return true;
    }
    for (uint8_t lane = 0; lane < MUX_CHANNELS; ++lane) {
        if (lane > 0) {
            const LmChannel& channel = conn.extra(lane);
            if (channel.closeRequested() ||
                (channel.state() == CHANNEL_CONNECTING && laneStep[lane] != LANE_IAS_CONNECT_WAIT &&
                 laneStep[lane] != LANE_IAS_QUERY_WAIT && laneStep[lane] != LANE_TTP_WAIT)) {
                return true;
            }
        }
        if (mux.laneOwesTurn(lane, false)) {
            return true;
        }
    }
    return false;
}

void PrimaryStation::sendNextFull() {
    // What the peer lacks goes again first (the window keeps it), then new frames while the
    // peer's window and the line's capacity allow.
    peerTurnMoved = false;
    if (linkEndDue()) {
        sendDisc();
        return;
    }
    conn.openTurn();
    while (conn.turnHasRoom() && sendOneFull()) {
    }
    sent(conn.endTurn(port));
}

bool PrimaryStation::sendOneFull() {
    if (sendLaneControl()) {
        return true;
    }
    // Data waits while its channel is set up; credits do not.
    uint32_t settingUp = 0;
    for (uint8_t lane = 0; lane < MUX_CHANNELS; ++lane) {
        settingUp |= laneStep[lane] != LANE_NONE ? 1U << lane : 0U;
    }
    const uint16_t length = mux.buildNextTurn(settingUp);
    if (length == 0) {
        return false;
    }
    sendHeld(length);
    return true;
}

bool PrimaryStation::sendLaneControl() {
    if (const uint16_t length = mux.closeFirst(conn.channelOpen()); length != 0) {
        conn.setPhase(LINK_CONNECTED);
        sendHeld(length);
        return true;
    }
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        LmChannel& channel = conn.extra(lane);
        const ChannelState state = channel.state();
        if (state == CHANNEL_IDLE || state == CHANNEL_ENDED) {
            laneStep[lane] = LANE_NONE;
            continue;
        }
        if (channel.closeRequested()) {
            // The peer knows of the channel once its TinyTP connect went out.
            const bool known = state == CHANNEL_OPEN || laneStep[lane] == LANE_TTP_WAIT;
            laneStep[lane] = LANE_NONE;
            if (const uint16_t length = mux.closeLane(lane, known); length != 0) {
                sendHeld(length);
                return true;
            }
            continue;
        }
        if (state == CHANNEL_CONNECTING && laneStep[lane] == LANE_NONE) {
            conn.credits(lane).reset();
            laneStep[lane] = laneAsks[lane] ? LANE_IAS_CONNECT : LANE_TTP_CONNECT;
        }
        if (sendLaneSetUp(lane)) {
            return true;
        }
    }
    return false;
}

bool PrimaryStation::sendLaneSetUp(uint8_t lane) {
    uint8_t* const frame = conn.tx.data();
    const uint8_t local = mux.laneLocal(lane);
    switch (laneStep[lane]) {
    case LANE_IAS_CONNECT:
        laneStep[lane] = LANE_IAS_CONNECT_WAIT;
        sendHeld(lmpBuildConnectIas(frame, conn.record, local));
        return true;
    case LANE_IAS_QUERY:
        laneStep[lane] = LANE_IAS_QUERY_WAIT;
        sendHeld(iasBuildQuery(frame, conn.record, local, laneClass[lane].data(),
                               laneAttribute[lane].data()));
        return true;
    case LANE_IAS_DISCONNECT:
        if (laneQuery[lane]) {
            conn.extra(lane).requestClose(); // nobody waits for its end: it goes idle
            conn.extra(lane).end(CHANNEL_END_CLOSED);
            laneStep[lane] = LANE_NONE;
        } else if (laneFailed[lane]) {
            conn.extra(lane).end(CHANNEL_END_NO_SERVICE);
            laneStep[lane] = LANE_NONE;
        } else {
            laneStep[lane] = LANE_TTP_CONNECT;
        }
        sendHeld(lmpBuildDisconnectIas(frame, conn.record, local));
        return true;
    case LANE_TTP_CONNECT:
        laneStep[lane] = LANE_TTP_WAIT;
        sendHeld(mux.buildConnect(lane));
        return true;
    case LANE_PARAMS:
        if (!conn.credits(lane).spend()) {
            return false; // the parameters wait for a credit like any data
        }
        laneStep[lane] = LANE_NONE;
        sendHeld(mux.buildParams(lane));
        return true;
    default:
        return false;
    }
}

} // namespace primary
