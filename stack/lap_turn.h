// How much one turn of the line may carry: the frames of a window that fit the peer's maximum
// turnaround at the link's speed, and an information field sized to the errors the line shows.
#pragma once

#include <cstdint>

#include "lap_terms.h"

// The smallest information field every station takes.
constexpr uint16_t LAP_MIN_FIELD = 64;
// Frames acknowledged at the first sending, in a row, before a cut field grows again.
constexpr uint16_t LAP_CLEAN_RUN = 32;
// The field a link starts with, unless its limit is less than twice it: a line's errors show on a
// field of this size at little cost, stray light lets it through often enough, and on a clean line
// it grows to the limit within a few turns.
constexpr uint16_t LAP_START_FIELD = 256;
// Frames a turn carries at most while the line shows errors: a loss wastes half a turn on
// average, and three frames keep that small at little cost in turnarounds.
constexpr uint8_t LAP_CUT_TURN_FRAMES = 3;
// Address, control and FCS around each frame's information field.
constexpr uint16_t LAP_FRAME_OVERHEAD = 2 + 2;

// Wire bytes of one frame whose content (address, control, field) is `content`, FCS included.
uint32_t lapWireLength(const uint8_t* content, uint16_t length, uint16_t leadBofs);
// Wire bytes one turn may hold: the peer's maximum turnaround at the link's speed, with a fifth of
// it left for the turnarounds.
uint32_t lapTurnCapacity(const LapTerms& terms);
// The largest information field one frame of a turn may carry: the agreed data size, or less
// where a frame of that size would not fit a turn (never below LAP_MIN_FIELD).
uint16_t lapFieldLimit(const LapTerms& terms);

// A turn being filled: frames go while the window and the line's capacity allow; the first
// always goes, so a turn is never empty.
class LapTurn {
  public:
    explicit LapTurn(const LapTerms& terms)
        : window(terms.window), capacity(lapTurnCapacity(terms)) {}
    // Whether a frame of `wireBytes` may still go in this turn.
    bool fits(uint32_t wireBytes) const {
        return frames == 0 || (frames < window && used + wireBytes <= capacity);
    }
    void add(uint32_t wireBytes) {
        ++frames;
        used += wireBytes;
    }
    uint8_t count() const { return frames; }

  private:
    uint8_t window;
    uint32_t capacity;
    uint8_t frames = 0;
    uint32_t used = 0;
};

// The information field to send, sized to the line's errors: halved after a loss, doubled after
// LAP_CLEAN_RUN clean frames, never above the limit nor below LAP_MIN_FIELD.
class LapFieldSizer {
  public:
    void start(uint16_t fieldLimit) {
        limit = fieldLimit;
        current = fieldLimit < 2 * LAP_START_FIELD ? fieldLimit : LAP_START_FIELD;
        cleanRun = 0;
        cut = false;
    }
    uint16_t size() const { return current; }
    // The most frames a turn may carry in a window of `window`: fewer while the field is cut, as
    // a frame lost takes every later one of its turn with it.
    uint8_t turnFrames(uint8_t window) const {
        return cut && window > LAP_CUT_TURN_FRAMES ? LAP_CUT_TURN_FRAMES : window;
    }
    // A frame had to be sent again.
    void lost();
    // A frame was acknowledged at its first sending.
    void clean();

  private:
    uint16_t limit = LAP_MIN_FIELD;
    uint16_t current = LAP_MIN_FIELD;
    uint16_t cleanRun = 0;
    // Cut after a loss, until grown back to the limit.
    bool cut = false;
};
