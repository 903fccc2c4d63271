// The primary's channels in the full profile: further channels opened over the link (IAS lookup,
// TinyTP connect, IrCOMM parameters), each frame routed by its selector, TinyTP credits honoured
// and granted per channel, and the LM disconnect of one channel.
#include <cstring>
#include <utility>

#include "console.h"
#include "primary_station.h"

namespace primary {

namespace {

constexpr uint16_t TTP_HEADER_END = 5;
constexpr uint16_t IAS_ANSWER_OFFSET = 5;

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

uint8_t PrimaryStation::laneLocal(uint8_t lane) {
    return lane == 0 ? PRIMARY_OWN_LSAP : conn.extra(lane).localSelector();
}

uint8_t PrimaryStation::lanePeer(uint8_t lane) {
    return lane == 0 ? peerComLsap.load() : conn.extra(lane).peerSelector();
}

bool PrimaryStation::laneRaw(uint8_t lane) {
    return lane == 0 ? serviceRaw : conn.extra(lane).raw();
}

int PrimaryStation::laneBySelector(uint8_t local) {
    if (local == PRIMARY_OWN_LSAP) {
        return 0;
    }
    for (uint8_t lane = 1; lane < MUX_CHANNELS; ++lane) {
        const ChannelState state = conn.extra(lane).state();
        if (state != CHANNEL_IDLE && state != CHANNEL_ENDED &&
            conn.extra(lane).localSelector() == local) {
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
    const int lane = laneBySelector(conn.rx[2] & 0x7F);
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
        channel.credits.take(length > TTP_CONNECT_CREDIT_OFFSET ? conn.rx[TTP_CONNECT_CREDIT_OFFSET]
                                                                : 0);
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
    uint16_t value = 0;
    const bool named =
        length > IAS_ANSWER_OFFSET &&
        iasParseLsapSel(&conn.rx[IAS_ANSWER_OFFSET], length - IAS_ANSWER_OFFSET, value) != 0 &&
        value <= 127;
    if (named) {
        conn.extra(lane).setPeer(static_cast<uint8_t>(value));
    } else {
        missingService.fetch_add(1);
    }
    laneFailed[lane] = !named;
    laneStep[lane] = LANE_IAS_DISCONNECT;
}

bool PrimaryStation::takeLaneData(uint8_t lane, uint16_t length) {
    const bool raw = laneRaw(lane);
    if (length == TTP_HEADER_END) {
        conn.credits(lane).take(conn.rx[TTP_CREDIT_OFFSET]); // a credit and no data
        return true;
    }
    if (!raw && commIsDataFrame(conn.rx.data(), length) == 0) {
        return true; // not IrCOMM data: dropped
    }
    const uint16_t start = raw ? TTP_DATA_OFFSET : static_cast<uint16_t>(6 + conn.rx[5]);
    const auto count = static_cast<uint16_t>(length - start);
    if (!conn.laneDeliver(lane, &conn.rx[start], count)) {
        conn.refuseIFrame(); // only a peer beyond its credits gets here
        return false;
    }
    TtpCredits& credits = conn.credits(lane);
    if (length > TTP_HEADER_END) {
        credits.received();
    }
    credits.take(conn.rx[TTP_CREDIT_OFFSET]);
    if (lane == 0) {
        if (raw) {
            consolePrint("\nTinyTP length:\t%d", count);
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
        if (conn.laneNeedsCredit(lane) ||
            (conn.laneOpen(lane) && conn.laneHasData(lane) && conn.credits(lane).toSend > 0)) {
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
    // Channel by channel in turn, so none holds the others back: data with a credit carries the
    // credits we grant; a peer out of credits gets a credit alone.
    for (uint8_t i = 0; i < MUX_CHANNELS; ++i) {
        const auto lane = static_cast<uint8_t>((nextLane + i) % MUX_CHANNELS);
        const bool data = conn.laneOpen(lane) && laneStep[lane] == LANE_NONE &&
                          conn.laneHasData(lane) && conn.credits(lane).toSend > 0;
        if (data || conn.laneNeedsCredit(lane)) {
            nextLane = static_cast<uint8_t>((lane + 1) % MUX_CHANNELS);
            if (data) {
                sendLaneData(lane);
            } else {
                sendLaneCredit(lane);
            }
            return true;
        }
    }
    return false;
}

bool PrimaryStation::sendLaneControl() {
    if (conn.firstCloseRequested()) {
        conn.clearFirstClose();
        if (conn.channelOpen()) {
            conn.setPhase(LINK_CONNECTED);
            sendHeld(lmpBuildDisconnect(conn.tx.data(), conn.record, true, PRIMARY_OWN_LSAP,
                                        peerComLsap));
            return true;
        }
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
            channel.end(CHANNEL_END_CLOSED);
            laneStep[lane] = LANE_NONE;
            if (known) {
                sendHeld(lmpBuildDisconnect(conn.tx.data(), conn.record, true, laneLocal(lane),
                                            lanePeer(lane)));
                return true;
            }
            continue;
        }
        if (state == CHANNEL_CONNECTING && laneStep[lane] == LANE_NONE) {
            channel.credits.reset();
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
    const uint8_t local = laneLocal(lane);
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
    case LANE_TTP_CONNECT: {
        laneStep[lane] = LANE_TTP_WAIT;
        const uint16_t length = ttpBuildConnect(frame, conn.record, local, lanePeer(lane));
        ttpSetCredit(frame, TTP_CONNECT_CREDIT_OFFSET, conn.laneGrant(lane));
        sendHeld(length);
        return true;
    }
    case LANE_PARAMS: {
        if (!conn.credits(lane).spend()) {
            return false; // the parameters wait for a credit like any data
        }
        laneStep[lane] = LANE_NONE;
        const uint16_t length = commBuildParamsFrame(frame, conn.record, local, lanePeer(lane));
        ttpSetCredit(frame, TTP_CREDIT_OFFSET, conn.laneGrant(lane));
        sendHeld(length);
        return true;
    }
    default:
        return false;
    }
}

void PrimaryStation::sendLaneData(uint8_t lane) {
    conn.credits(lane).spend();
    const std::span<const uint8_t> data =
        conn.laneStage(lane, conn.dataLimit(FIXED_STAGING_SIZE, 0));
    const auto count = static_cast<uint16_t>(data.size());
    uint8_t* const frame = conn.tx.data();
    const uint16_t length = laneRaw(lane)
                                ? ttpBuildDataCommand(frame, conn.record, laneLocal(lane),
                                                      lanePeer(lane), data.data(), count)
                                : commBuildDataCommand(frame, conn.record, laneLocal(lane),
                                                       lanePeer(lane), data.data(), count);
    ttpSetCredit(frame, TTP_CREDIT_OFFSET, conn.laneGrant(lane));
    sendHeld(length);
}

void PrimaryStation::sendLaneCredit(uint8_t lane) {
    uint8_t* const frame = conn.tx.data();
    const uint16_t length =
        ttpBuildCreditCommand(frame, conn.record, laneLocal(lane), lanePeer(lane));
    ttpSetCredit(frame, TTP_CREDIT_OFFSET, conn.laneGrant(lane));
    sendHeld(length);
}

} // namespace primary
