// The I-frames a sender has in flight: each held with its lane and user bytes until the peer's Nr
// passes it, so that after a gap they go again from the first one missing, in order (go-back-N).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "ir_options.h"

// Ns counts modulo 8, so at most seven frames are ever in flight.
constexpr uint8_t LAP_WINDOW_MAX = 7;

struct LapHeldIFrame {
    std::array<uint8_t, SIR_MAX_CONTENT> frame{};
    uint16_t length = 0;
    uint8_t lane = 0;
    // User bytes the frame carries, counted unacknowledged until it is.
    uint16_t userBytes = 0;
    // Times gone out (saturating); a frame sent again is acknowledged, but not clean.
    uint8_t sendings = 0;
    bool resent() const { return sendings > 1; }
};

// What an Nr acknowledged.
struct LapAcknowledged {
    uint8_t frames = 0;
    // Of those, the frames acknowledged at their first sending.
    uint8_t clean = 0;
};

class LapWindow {
  public:
    // Nothing in flight; the next frame takes `firstNs`.
    void reset(uint8_t firstNs);
    uint8_t inFlight() const { return count; }
    uint8_t oldestNs() const { return oldest; }
    uint8_t nextNs() const { return static_cast<uint8_t>((oldest + count) & 7); }
    bool full(uint8_t window) const { return count >= window || count >= LAP_WINDOW_MAX; }

    // Where the next frame is built; add() then holds it.
    std::span<uint8_t> buildSpace() { return slotAt(count).frame; }
    void add(uint16_t length, uint8_t lane, uint16_t userBytes);
    // An Nr the peer may send: the oldest Ns in flight up to the next to be sent.
    bool validNr(uint8_t nr) const;
    // Drops every frame before `nr` (which must be valid).
    LapAcknowledged acknowledge(uint8_t nr);
    // The frame `index` places after the oldest, for sending again.
    LapHeldIFrame& at(uint8_t index) { return slotAt(index); }
    // Sets the frame's Nr and its P/F bit (the last frame of a turn) before it goes (again).
    static void stamp(LapHeldIFrame& held, uint8_t nr, bool final);
    // User bytes of `lane` in flight; safe from any thread.
    uint32_t laneBytes(uint8_t lane) const { return laneInFlight.at(lane).load(); }

  private:
    LapHeldIFrame& slotAt(uint8_t index) { return slots.at((head + index) % LAP_WINDOW_MAX); }

    std::array<LapHeldIFrame, LAP_WINDOW_MAX> slots{};
    uint8_t head = 0;
    uint8_t count = 0;
    uint8_t oldest = 0;
    std::array<std::atomic<uint32_t>, MUX_CHANNELS> laneInFlight{};
};
