#include "primary_timing.h"

#include "ir_options.h"

namespace primary {

static_assert(PRIMARY_START_DELAY_STEPS < 100 && PRIMARY_GIVE_UP_STEP < 100,
              "the step counter's read marks lie beyond every count");

void PrimaryTiming::choose(bool paced, FramePort& port) {
    framePaced = paced;
    clock = &port;
}

void PrimaryTiming::markStart() {
    startedMs = now();
    searchStartMs = startedMs;
    freshStart = true;
    nextPauseMs = 0;
}

bool PrimaryTiming::takeFreshStart() {
    const bool fresh = framePaced && freshStart;
    freshStart = false;
    return fresh;
}

void PrimaryTiming::stepBegin() {
    // Frame-paced steps come as often as frames do, so they count nothing but the read marks.
    if (!framePaced) {
        ++counter;
    } else {
        counter = counter == ANSWER_SEEN ? ANSWER_PENDING : 1;
    }
}

void PrimaryTiming::stateEntered(bool startDelay) {
    counter = 1;
    const bool starting = framePaced && freshStart && startDelay;
    quietStartMs = starting ? startedMs : now();
    enteredMs = now();
    if (startDelay) {
        pauseMs = nextPauseMs;
        nextPauseMs = PRIMARY_START_DELAY_MS;
    }
    repeatMarkMs = quietStartMs;
    movedMs = quietStartMs;
    pollDeferred = false;
    damagedRepeat = false;
    repeatExtraMs = 0; // a state's first repeat is not varied
}

bool PrimaryTiming::startDue() const {
    return framePaced ? now() - quietStartMs >= pauseMs : counter == PRIMARY_START_DELAY_STEPS;
}

uint32_t PrimaryTiming::startLeftMs() const {
    const uint32_t passed = now() - quietStartMs;
    return passed < pauseMs ? pauseMs - passed : 0;
}

bool PrimaryTiming::giveUpDue() const {
    return framePaced ? now() - quietStartMs >= PRIMARY_GIVE_UP_MS
                      : counter == PRIMARY_GIVE_UP_STEP;
}

bool PrimaryTiming::repeatDue() const {
    return framePaced ? damagedRepeat || now() - repeatMarkMs >= repeatSpanMs + repeatExtraMs
                      : counter % PRIMARY_REPEAT_STEPS == 0;
}

uint32_t PrimaryTiming::repeatLeftMs() const {
    const uint32_t span = repeatSpanMs + repeatExtraMs;
    const uint32_t gone = now() - repeatMarkMs;
    return gone >= span ? 0 : span - gone;
}

void PrimaryTiming::markAnswered() {
    counter = 0;
    quietStartMs = now();
    repeatMarkMs = quietStartMs;
}

void PrimaryTiming::markAlive() {
    if (now() - enteredMs < 2 * PRIMARY_GIVE_UP_MS) {
        quietStartMs = now();
    }
}

void PrimaryTiming::markValid() {
    repeatMarkMs = now();
}

void PrimaryTiming::markRepeated() {
    repeatMarkMs = now();
    damagedRepeat = false;
}

void PrimaryTiming::noteDamaged(bool damaged) {
    damagedRepeat = framePaced && damaged;
}

bool PrimaryTiming::deferredPollDue(bool dataQueued) const {
    // At the next tick, or at the second once the channel has idled a while, so an idle pair
    // wakes half as often; bytes to send never wait for that.
    const uint32_t at = now();
    return at - movedMs < PRIMARY_IDLE_AFTER_MS || at - repeatMarkMs >= PRIMARY_IDLE_POLL_MS ||
           dataQueued;
}

bool PrimaryTiming::slotDue() const {
    return now() - slotMarkMs >= LAP_SLOT_MS;
}

uint32_t PrimaryTiming::slotLeftMs() const {
    const uint32_t passed = now() - slotMarkMs;
    return passed < LAP_SLOT_MS ? LAP_SLOT_MS - passed : 0;
}

void PrimaryTiming::markMoved() {
    movedMs = now();
}

} // namespace primary
