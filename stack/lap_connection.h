// One connection's data transfer, the same for both roles, in the manner of a protocol control
// block: sequence numbers and their checks, the held frame and its resend, taking or refusing
// data, the queues between the application and the engine, and the calls programs use.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <utility>

#include "byte_queue.h"
#include "ir_err.h"
#include "ir_options.h"
#include "lap.h"
#include "lap_data.h"
#include "lap_port.h"
#include "lap_terms.h"
#include "lap_turn.h"
#include "lap_window.h"
#include "lm_channel.h"

// Frames in a row whose Nr acknowledges a frame never sent before the link is given up.
constexpr uint8_t LAP_INVALID_NR_LIMIT = 3;
// A turn whose oldest frame has gone this often already starts after one of these pauses, in
// turn: spread over a frame's time at 115200 bit/s, so one of them misses a steady beat of noise.
constexpr uint8_t LAP_STUCK_SENDINGS = 2;
constexpr std::array<uint8_t, 8> LAP_STUCK_PAUSES_MS{9, 2, 15, 6, 19, 4, 12, 17};

class LapConnection {
  public:
    // `command`: the primary's side, whose frames carry the C/R bit. `wholeTexts`: before the
    // channel opens, a text that does not fit is dropped whole rather than cut.
    explicit LapConnection(bool command, bool wholeTexts = false)
        : commandSide(command), wholeTextsBeforeOpen(wholeTexts) {}
    LapConnection(const LapConnection&) = delete;
    LapConnection& operator=(const LapConnection&) = delete;
    LapConnection(LapConnection&&) = delete;
    LapConnection& operator=(LapConnection&&) = delete;
    ~LapConnection() = default;

    // ---- Set up by the station while its task is stopped

    // The queues sized for the offer's profile and emptied, the record reset to the station's
    // address, nothing held or staged, reading and searching again.
    void setUp(const LapOffer& offer, uint32_t ownAddress);
    const LapOffer& offer() const { return linkOffer; }
    // Told of every change of a lane's data, room, acknowledgements or state (lm_channel.h).
    void setObserver(const LaneObserver& observer);
    bool fullProfile() const { return linkOffer.negotiates; }

    // ---- The application's calls, from any thread

    // Queues a text in order; texts never interleave. While the channel is open it waits for the
    // engine to make room, up to the channel's end; otherwise what does not fit is dropped (the
    // channel's opening empties the queue anyway), or the whole text (`wholeTexts`). Returns the
    // bytes queued.
    size_t send(const uint8_t* data, size_t length);
    // The whole text or nothing, never waiting: for the station's own task.
    bool trySend(const uint8_t* data, size_t length);
    // Pops up to `size` received bytes into `buffer`; returns how many.
    size_t receive(uint8_t* buffer, size_t size);
    // Free room in the transmit queue.
    int room() const;
    // Received bytes waiting to be popped.
    int available() const { return receiveQueue.count(&receiveQueue); }
    // Bytes queued or sent that the peer has not acknowledged; exact once the engine has stopped
    // or the channel is lost.
    int unacknowledged() { return laneUnacknowledged(0); }
    // As unacknowledged, for one lane's bytes.
    int laneUnacknowledged(uint8_t lane);
    // Every byte queued has gone out and the peer has acknowledged it.
    bool allAcknowledged() const;
    LinkPhase phase() const { return linkPhase.load(); }
    LinkWatch& watch() { return linkWatch; }
    // Received data is dropped instead of queued: for an application that never reads.
    void discardReceived() { discard.store(true); }
    // Waits up to `milliseconds` for a text queued after `seen` texts, or for wake(); updates
    // `seen`. The engine's wait while the peer has nothing to say.
    void waitQueued(uint32_t& seen, uint32_t milliseconds);
    uint32_t textsQueued();
    // Ends every wait on the connection at once (the station stops).
    void wake();
    // Tells the observer that every lane may have changed (the station's state did).
    void notifyLanes() const { laneObserver.notify(LANE_ALL); }

    // ---- The engine's, on the station's task only

    LinkRecord record{};
    RxFrame rx{};
    std::array<uint8_t, SIR_MAX_CONTENT> tx{};
    // The last frame sent, kept in tx until another is built there.
    HeldFrame held{tx, 0, false};
    LapTerms terms = LAP_FIXED_TERMS;

    void setPhase(LinkPhase phase);
    // Empties both queues for a new channel and opens it; the clear never cuts a text being queued
    // and never meets a reader popping. `opened`, when given, runs under the same locks after the
    // clear, so a station's own state shows the channel open no sooner than a text survives.
    void openChannel(void (*opened)(void* station) = nullptr, void* station = nullptr);
    bool channelOpen() const { return phase() == LINK_OPEN; }

    // The peer's Nr in `control`: false, taking nothing, when it lies outside the frames in
    // flight (counted; see peerBroken).
    bool takeNr(uint8_t control);
    // Full profile: the Nr of a frame out of sequence, taken only when valid and never counted
    // against the peer (a gap, not a broken peer).
    void takeNrIfValid(uint8_t control);
    // An I-frame whose Ns is the one expected and whose Nr is valid: both taken. False otherwise.
    bool acceptIFrame(uint8_t control);
    // Takes back the acceptance of the I-frame just received: the peer sends it again.
    void refuseIFrame() { lapRefuseIFrame(record); }
    // The peer has sent LAP_INVALID_NR_LIMIT frames in a row with an Nr outside the frames in
    // flight; and how many such frames were ignored in all.
    bool peerBroken() const { return invalidNrRun >= LAP_INVALID_NR_LIMIT; }
    uint32_t invalidNrCount() const { return invalidNrTotal; }

    // Puts received user data into the receive queue; false, taking nothing, when it does not fit.
    bool deliver(const uint8_t* data, uint16_t count);
    bool hasData() const { return transmitQueue.isEmpty(&transmitQueue) == 0; }
    // User bytes one data frame may carry: `fixedLimit` in the fixed profile, else what the
    // field sized to the line's errors (never above the agreed data size nor what one turn of the
    // line carries) leaves beside `extra` bytes of parameters.
    uint16_t dataLimit(uint16_t fixedLimit, uint16_t extra);
    // Pops up to `limit` queued bytes into the staging and marks them unacknowledged.
    std::span<const uint8_t> stage(uint16_t limit);

    // The frame built in tx goes. Full profile: an I-frame joins the window and goes when the
    // turn ends, at once when no turn is open.
    IrErr sendHeld(FramePort& port, uint16_t length);
    // The held frame again as it is.
    IrErr repeatHeld(FramePort& port);
    // The held I-frame again with its Nr brought up to date.
    IrErr resendHeld(FramePort& port);
    // An RR of this side (command or response) with the current Nr; while a turn is open, left
    // to the turn's end, which sends one when it has no frame.
    IrErr sendRr(FramePort& port);
    // At the end of an engine step: what the application may read of the held frame.
    void noteStepEnd();

    // ---- Full profile: windows. The I-frames built while a turn is open wait in the window;
    // every turn of ours sends all frames the peer has not acknowledged (go-back-N), the last
    // with P/F, as the peer's last answer told us what it has.

    void openTurn() { turnOpen = true; }
    bool turnIsOpen() const { return turnOpen; }
    // Another new I-frame may join the turn: the peer's window is not full and one more field of
    // the current size still fits the line's capacity for a turn.
    bool turnHasRoom();
    // A reply that takes a frame of its own (a confirm, an IAS answer) has a place in the window.
    bool windowHasSlot() const { return !lapWindow.full(terms.window); }
    // Sends every frame in flight, the last with P/F; an RR when there is none.
    IrErr endTurn(FramePort& port);
    // An RR with P/F at once, ending any turn being built: what the frames queued in it carry goes
    // with the next turn.
    IrErr poll(FramePort& port) {
        turnOpen = false;
        return sendRrNow(port);
    }
    // The sequence numbers started again (a new link): nothing in flight.
    void resetWindow();
    // Set when an Nr acknowledged frames; cleared by the call.
    bool takeProgress() { return std::exchange(acknowledgedSome, false); }

    // ---- Channels of the full profile: lane 0 is the queues above, the others LmChannels

    LmChannel& extra(uint8_t lane) { return extras.at(lane - 1U); }
    TtpCredits& credits(uint8_t lane) { return laneCredits.at(lane); }
    bool laneOpen(uint8_t lane);
    bool laneHasData(uint8_t lane);
    std::span<const uint8_t> laneStage(uint8_t lane, uint16_t limit);
    bool laneDeliver(uint8_t lane, const uint8_t* data, uint16_t count);
    // Credits for the PDU being built on `lane`, counted as granted.
    uint8_t laneGrant(uint8_t lane);
    // As laneGrant, for a connect: the channel's opening empties its queue before data comes.
    uint8_t laneGrantOpening(uint8_t lane) {
        stagedLane.store(lane);
        return credits(lane).grant((lane == 0 ? FULL_QUEUE_SIZE : FULL_EXTRA_QUEUE_SIZE) - 1,
                                   peerPduSize());
    }
    // The peer holds fewer credits on an open lane than the room of its receive queue would add.
    bool laneNeedsCredit(uint8_t lane);
    // Most user data one PDU of the peer's may carry.
    uint16_t peerPduSize() const;
    // The link ended: every channel beyond the first with it.
    void endExtras(ChannelEnd why);
    // The application's close of the first channel, for the engine to send its LM disconnect.
    void requestFirstClose() { firstCloseWanted.store(true); }
    // Asks for the lane's channel to close, whichever kind it is; a lane past the last is ignored.
    void requestLaneClose(uint8_t lane) {
        if (lane == 0) {
            requestFirstClose();
        } else if (lane < MUX_CHANNELS) {
            extra(lane).requestClose();
        }
    }
    bool firstCloseRequested() const { return firstCloseWanted.load(); }
    void clearFirstClose() { firstCloseWanted.store(false); }

  private:
    void notifyRoom();
    int laneReceiveRoom(uint8_t lane);
    // The held I-frame goes again: the line lost it or its answer, so later fields shrink.
    void noteResend();

    const bool commandSide;
    const bool wholeTextsBeforeOpen;
    LapOffer linkOffer = LAP_FIXED_OFFER;
    std::atomic<LinkPhase> linkPhase{LINK_SEARCHING};
    LinkWatch linkWatch;
    std::atomic<bool> discard{false};
    uint8_t invalidNrRun = 0;
    uint32_t invalidNrTotal = 0;
    // The field sized to the line's errors, restarted whenever the limit changes (a new link).
    LapFieldSizer fieldSizer;
    uint16_t fieldSizerLimit = 0;
    // The held I-frame went more than once: its acknowledgement is no clean frame.
    bool heldResent = false;

    // The I-frame just built joins the window with the bytes staged for it.
    IrErr queueIFrame(uint16_t length);
    IrErr sendRrNow(FramePort& port);
    bool fullTakeNr(uint8_t nr);
    // The field sized to the line's errors, started again when the link's limit changed.
    uint16_t currentField();

    LapWindow lapWindow;
    // Turns begun after a pause, choosing the next pause.
    uint8_t stuckTurns = 0;
    bool turnOpen = false;
    bool acknowledgedSome = false;
    std::array<uint8_t, FULL_STAGING_SIZE> staging{};
    // Atomic: a program counts the unacknowledged bytes from its own thread.
    std::atomic<uint16_t> stagedCount{0};
    std::atomic<bool> dataUnacknowledged{false};
    // The lane whose bytes the staging holds.
    std::atomic<uint8_t> stagedLane{0};

    std::array<uint8_t, FULL_QUEUE_SIZE> transmitStorage{};
    std::array<uint8_t, FULL_QUEUE_SIZE> receiveStorage{};
    ByteQueue transmitQueue{};
    ByteQueue receiveQueue{};
    // Held for a whole text, so texts never interleave.
    std::mutex sendLock;
    // Around pushes and the clear of the transmit queue, and pops and the clear of the receive
    // queue; the room signal waits on the first.
    std::mutex transmitLock;
    std::mutex receiveLock;
    std::condition_variable roomMade;
    // Counts the channel's openings (under transmitLock), so a text never spans two channels.
    uint32_t channelOpenings = 0;
    // Counts the texts queued, so an engine waiting for them wakes at once.
    std::mutex queuedLock;
    std::condition_variable queuedSignal;
    uint32_t queuedTexts = 0;
    bool woken = false;

    std::array<LmChannel, MUX_CHANNELS - 1> extras;
    LaneObserver laneObserver;
    // Each lane's TinyTP credits, the first's among them.
    std::array<TtpCredits, MUX_CHANNELS> laneCredits{};
    std::atomic<bool> firstCloseWanted{false};
};
