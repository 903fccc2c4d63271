// When the primary repeats, gives up and starts: the demo profile counts its 50 ms steps, the full
// profile measures spans on the port's clock. Chosen once at start, so the engine asks one object.
#pragma once

#include <cstdint>

#include "ir_options.h"
#include "lap_port.h"

namespace primary {

class PrimaryTiming {
  public:
    // Before the station starts: the model, and the clock of the full profile.
    void choose(bool paced, FramePort& port);
    bool paced() const { return framePaced; }

    // The station (re)starts: the first discovery goes at once (full profile; the start's port
    // reset is its only wait) or after the start delay, from here; a search begins.
    void markStart();
    // Full profile: the next stay in the start state lasts `pause` ms instead of the start delay.
    void pauseBeforeSearch(uint32_t pause) { nextPauseMs = pause; }
    // Full profile: how long the search for a device has gone on.
    uint32_t searchMs() const { return now() - searchStartMs; }
    void markSearchStart() { searchStartMs = now(); }
    // Full profile: the next repeat waits this much longer.
    void varyRepeat(uint32_t extraMs) { repeatExtraMs = extraMs; }
    // Full profile: repeats come after `span` ms (the first poll's) or PRIMARY_REPEAT_MS.
    void setRepeatSpan(uint32_t span) { repeatSpanMs = span; }
    // True once after markStart in the full profile: the start's transceiver reset still holds.
    bool takeFreshStart();
    // At the top of each step; before `stateEntered` when the state changed.
    void stepBegin();
    void stateEntered(bool startDelay);

    bool startDue() const;
    // Full profile: what is left of the stay in the start state.
    uint32_t startLeftMs() const;
    bool giveUpDue() const;
    bool repeatDue() const;
    // Full profile: how long until the next repeat is due, 0 when it is.
    uint32_t repeatLeftMs() const;
    // A frame began: the next step reads it.
    void markSeen() { counter = ANSWER_SEEN; }
    bool answerSeen() const { return counter == ANSWER_SEEN; }
    bool answerPending() const { return counter == ANSWER_PENDING; }

    // A valid answer was accepted: give-up and repeat count from here.
    void markAnswered();
    // A valid frame of the connection arrived: the repeat counts from here.
    void markValid();
    // A frame of the peer came spoilt: the give-up counts from here, the repeat goes on; up to
    // twice the give-up's span after the state began.
    void markAlive();
    // A repeat or a held poll went out: the next repeat counts from here.
    void markRepeated();
    // The answer came damaged: the peer is there, so the repeat need not wait (full profile).
    void noteDamaged(bool damaged);
    bool repeatNow() const { return damagedRepeat; }

    // Full profile: the next poll waits for the tick as the last exchange moved nothing.
    void deferPoll() { pollDeferred = framePaced; }
    void clearDeferred() { pollDeferred = false; }
    bool pollHeld() const { return pollDeferred; }
    bool deferredPollDue(bool dataQueued) const;
    void markMoved();

    // Discovery's slots (full profile): one begins when its command goes.
    void markSlot() { slotMarkMs = now(); }
    bool slotDue() const;
    uint32_t slotLeftMs() const;

    uint8_t stepCount() const { return counter; }

  private:
    static constexpr uint8_t ANSWER_SEEN = 100;
    static constexpr uint8_t ANSWER_PENDING = 101;
    uint32_t now() const { return clock != nullptr ? clock->nowMs() : 0; }

    bool framePaced = false;
    FramePort* clock = nullptr;
    // Demo profile: steps since the state began or an answer was accepted, or the read marks.
    uint8_t counter = 0;
    // Full profile: when the state began or an answer was accepted (start delay, give-up), when a
    // valid frame came or a repeat went (repeat), when user data last moved (idle polling).
    uint32_t quietStartMs = 0;
    uint32_t repeatMarkMs = 0;
    uint32_t movedMs = 0;
    uint32_t startedMs = 0;
    uint32_t slotMarkMs = 0;
    uint32_t searchStartMs = 0;
    uint32_t enteredMs = 0;
    // Full profile: the stay in the start state under way, and the one after it.
    uint32_t pauseMs = 0;
    uint32_t nextPauseMs = 0;
    uint32_t repeatExtraMs = 0;
    uint32_t repeatSpanMs = PRIMARY_REPEAT_MS;
    bool freshStart = false;
    bool pollDeferred = false;
    bool damagedRepeat = false;
};

} // namespace primary
