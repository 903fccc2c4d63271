// The full profile's channels over one link, written once for the computer's side and the
// device's: the lanes' selectors, their TinyTP connect, data and credit PDUs, the data-or-credit
// round robin, a lane's LM disconnect and what a lane's data PDU brings. Each station keeps its
// own engine states and set-up steps; this builds in the connection's tx and reads its rx.
#pragma once

#include <atomic>
#include <cstdint>

#include "lap_connection.h"

// Which end of the link a station is.
struct LmSide {
    // The computer's: its frames carry the C/R bit and it speaks first.
    bool command = false;
    // Lane 0's own selector; lane n's is ownBase + n.
    uint8_t ownBase = 0;
};

enum LmPduKind : uint8_t {
    LM_PDU_NONE = 0,   // nothing to take (too short, or not data of the lane's kind)
    LM_PDU_CREDIT = 1, // a credit and no data
    LM_PDU_DATA = 2,
};

// What a data PDU received on a lane carries.
struct LmDataPdu {
    LmPduKind kind = LM_PDU_NONE;
    uint8_t params = 0; // IrCOMM control bytes before the data
    uint16_t start = 0; // where the user data begins in the frame
    uint16_t count = 0; // user bytes
};

static_assert(MUX_CHANNELS <= 32, "a lane mask holds every lane");

class LmMux {
  public:
    // `firstPeer` and `firstRaw` are the station's own for lane 0 (the others' are their
    // LmChannels'); both must outlive the mux.
    LmMux(LapConnection& connection, LmSide side, const std::atomic<uint8_t>& firstPeer,
          const bool& firstRaw)
        : conn(connection), own(side), peerOfFirst(firstPeer), rawFirst(firstRaw) {}

    // ---- Selectors and mode, from any thread

    uint8_t laneLocal(uint8_t lane);
    uint8_t lanePeer(uint8_t lane);
    bool laneRaw(uint8_t lane);
    // The lane in use whose own selector is `local`; -1 for none.
    int laneBySelector(uint8_t local);
    // A lane's selectors and mode, without names; all zero past the last lane.
    ChannelInfo describe(uint8_t lane);

    // ---- The engine's, on the station's task

    // The lane has a turn owed: data with a credit (unless `dataHeld`), or a credit the peer needs.
    bool laneOwesTurn(uint8_t lane, bool dataHeld);
    // The data-or-credit round robin: the next lane after the last served with a turn owed gets
    // one PDU built; lanes in `heldMask` (bit per lane) send no data yet. 0 when none owes one.
    uint16_t buildNextTurn(uint32_t heldMask);
    // A data PDU spending one credit (the line settings alone when `lineSettings`, the device's
    // IrCOMM answer), granting what the lane's room allows.
    uint16_t buildData(uint8_t lane, bool lineSettings);
    uint16_t buildCredit(uint8_t lane);
    // The TinyTP connect of a lane; in the full profile it grants credits from an empty queue.
    uint16_t buildConnect(uint8_t lane);
    // The computer's IrCOMM parameters on a lane; in the full profile they grant credits (the
    // caller spends one).
    uint16_t buildParams(uint8_t lane);
    // The confirm of the peer's connect on `lane` (its credit byte taken) from `ours` to `theirs`.
    uint16_t buildConfirm(uint8_t lane, uint8_t ours, uint8_t theirs, uint8_t credit);
    uint16_t buildDisconnect(uint8_t lane);
    // The application's close of lane 0, taken once: its LM disconnect when `open`, else 0.
    uint16_t closeFirst(bool open);
    // A further lane's close: the channel ends, and the peer, when it `knows` of the channel,
    // gets its LM disconnect (else 0).
    uint16_t closeLane(uint8_t lane, bool knows);

    // What the data PDU in `frame` (an I-frame for the lane's selector) carries.
    LmDataPdu readData(uint8_t lane, const uint8_t* frame, uint16_t length);
    // Takes its credit and its data into the lane's queue; false, the I-frame refused (the peer
    // sends it again), when the data does not fit.
    bool takeData(uint8_t lane, const uint8_t* frame, const LmDataPdu& pdu);

  private:
    // The lane is open, has data queued and a credit to send it with.
    bool dataMayGo(uint8_t lane);

    LapConnection& conn;
    const LmSide own;
    const std::atomic<uint8_t>& peerOfFirst;
    const bool& rawFirst;
    uint8_t nextLane = 0; // where the round robin starts
};
