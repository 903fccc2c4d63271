#include "lm_mux.h"

#include <span>

#include "pdu.h"

namespace {

constexpr uint16_t COMM_HEADER_LENGTH = 6;

} // namespace

uint8_t LmMux::laneLocal(uint8_t lane) {
    return lane == 0 ? own.ownBase : conn.extra(lane).localSelector();
}

uint8_t LmMux::lanePeer(uint8_t lane) {
    return lane == 0 ? peerOfFirst.load() : conn.extra(lane).peerSelector();
}

bool LmMux::laneRaw(uint8_t lane) {
    return lane == 0 ? rawFirst : conn.extra(lane).raw();
}

int LmMux::laneBySelector(uint8_t local) {
    if (local == own.ownBase) {
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

ChannelInfo LmMux::describe(uint8_t lane) {
    ChannelInfo info;
    if (lane < MUX_CHANNELS) {
        info.local = laneLocal(lane);
        info.peer = lanePeer(lane);
        info.raw = laneRaw(lane);
    }
    return info;
}

bool LmMux::dataMayGo(uint8_t lane) {
    return conn.laneOpen(lane) && conn.laneHasData(lane) && conn.credits(lane).toSend > 0;
}

bool LmMux::laneOwesTurn(uint8_t lane, bool dataHeld) {
    return (!dataHeld && dataMayGo(lane)) || conn.laneNeedsCredit(lane);
}

uint16_t LmMux::buildNextTurn(uint32_t heldMask) {
    // Channel by channel in turn, so none holds the others back: data with a credit carries the
    // credits we grant; a peer out of credits gets a credit alone.
    for (uint8_t i = 0; i < MUX_CHANNELS; ++i) {
        const auto lane = static_cast<uint8_t>((nextLane + i) % MUX_CHANNELS);
        const bool held = (heldMask & (1U << lane)) != 0;
        if (!laneOwesTurn(lane, held)) {
            continue;
        }
        nextLane = static_cast<uint8_t>((lane + 1) % MUX_CHANNELS);
        return !held && dataMayGo(lane) ? buildData(lane, false) : buildCredit(lane);
    }
    return 0;
}

uint16_t LmMux::buildData(uint8_t lane, bool lineSettings) {
    conn.credits(lane).spend();
    // The line settings go alone: a computer whose channel opens with them takes no data there.
    const std::span<const uint8_t> data =
        lineSettings ? std::span<const uint8_t>{}
                     : conn.laneStage(lane, conn.dataLimit(FIXED_STAGING_SIZE, 0));
    const auto count = static_cast<uint16_t>(data.size());
    uint8_t* const frame = conn.tx.data();
    const uint8_t local = laneLocal(lane);
    const uint8_t peer = lanePeer(lane);
    uint16_t length = 0;
    if (laneRaw(lane)) {
        length = own.command
                     ? ttpBuildDataCommand(frame, conn.record, local, peer, data.data(), count)
                     : ttpBuildDataResponse(frame, conn.record, local, peer, data.data(), count);
    } else {
        length = own.command
                     ? commBuildDataCommand(frame, conn.record, local, peer, data.data(), count)
                     : commBuildDataResponse(frame, conn.record, local, peer, lineSettings,
                                             data.data(), count);
    }
    ttpSetCredit(frame, TTP_CREDIT_OFFSET, conn.laneGrant(lane));
    return length;
}

uint16_t LmMux::buildCredit(uint8_t lane) {
    uint8_t* const frame = conn.tx.data();
    const uint16_t length =
        own.command ? ttpBuildCreditCommand(frame, conn.record, laneLocal(lane), lanePeer(lane))
                    : ttpBuildCreditResponse(frame, conn.record, laneLocal(lane), lanePeer(lane));
    ttpSetCredit(frame, TTP_CREDIT_OFFSET, conn.laneGrant(lane));
    return length;
}

uint16_t LmMux::buildConnect(uint8_t lane) {
    uint8_t* const frame = conn.tx.data();
    const uint16_t length = ttpBuildConnect(frame, conn.record, laneLocal(lane), lanePeer(lane));
    if (conn.fullProfile()) {
        conn.credits(lane).reset();
        ttpSetCredit(frame, TTP_CONNECT_CREDIT_OFFSET, conn.laneGrantOpening(lane));
    }
    return length;
}

uint16_t LmMux::buildParams(uint8_t lane) {
    uint8_t* const frame = conn.tx.data();
    const uint16_t length =
        commBuildParamsFrame(frame, conn.record, laneLocal(lane), lanePeer(lane));
    if (conn.fullProfile()) {
        ttpSetCredit(frame, TTP_CREDIT_OFFSET, conn.laneGrant(lane));
    }
    return length;
}

uint16_t LmMux::buildConfirm(uint8_t lane, uint8_t ours, uint8_t theirs, uint8_t credit) {
    TtpCredits& credits = conn.credits(lane);
    credits.reset();
    credits.take(credit);
    uint8_t* const frame = conn.tx.data();
    const uint16_t length = ttpBuildConnectConfirm(frame, conn.record, theirs, ours);
    ttpSetCredit(frame, TTP_CONNECT_CREDIT_OFFSET, conn.laneGrantOpening(lane));
    return length;
}

uint16_t LmMux::buildDisconnect(uint8_t lane) {
    return lmpBuildDisconnect(conn.tx.data(), conn.record, own.command, laneLocal(lane),
                              lanePeer(lane));
}

uint16_t LmMux::closeFirst(bool open) {
    if (!conn.firstCloseRequested()) {
        return 0;
    }
    conn.clearFirstClose();
    return open ? buildDisconnect(0) : 0;
}

uint16_t LmMux::closeLane(uint8_t lane, bool knows) {
    conn.extra(lane).end(CHANNEL_END_CLOSED);
    return knows ? buildDisconnect(lane) : 0;
}

LmDataPdu LmMux::readData(uint8_t lane, const uint8_t* frame, uint16_t length) {
    LmDataPdu pdu;
    if (length < TTP_DATA_OFFSET) {
        return pdu;
    }
    if (length == TTP_DATA_OFFSET) {
        pdu.kind = LM_PDU_CREDIT;
        return pdu;
    }
    const bool raw = laneRaw(lane);
    // commIsDataFrame also refuses a control-parameter length that runs past the frame.
    if (raw ? !conn.laneOpen(lane) : commIsDataFrame(frame, length) == 0) {
        return pdu;
    }
    pdu.kind = LM_PDU_DATA;
    pdu.params = raw ? 0 : frame[5];
    pdu.start = raw ? TTP_DATA_OFFSET : static_cast<uint16_t>(COMM_HEADER_LENGTH + pdu.params);
    pdu.count = static_cast<uint16_t>(length - pdu.start);
    return pdu;
}

bool LmMux::takeData(uint8_t lane, const uint8_t* frame, const LmDataPdu& pdu) {
    TtpCredits& credits = conn.credits(lane);
    if (pdu.kind == LM_PDU_CREDIT) {
        credits.take(frame[TTP_CREDIT_OFFSET]);
        return true;
    }
    if (pdu.kind != LM_PDU_DATA) {
        return true;
    }
    if (!conn.laneDeliver(lane, &frame[pdu.start], pdu.count)) {
        conn.refuseIFrame(); // only a peer beyond its credits gets here
        return false;
    }
    credits.received();
    credits.take(frame[TTP_CREDIT_OFFSET]);
    return true;
}
