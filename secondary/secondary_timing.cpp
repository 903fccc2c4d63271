#include "secondary_timing.h"

void SecondaryTiming::start(bool framePaced) {
    paced = framePaced;
    marks = 0;
    quietSteps = 0;
    quietSinceMs = clock->nowMs();
    awaitingFirst = false;
}

void SecondaryTiming::beginStep() {
    if (paced) {
        marks = marks == BYTE_SEEN ? READ : 1;
        return;
    }
    ++marks;
    if (quietSteps < UINT8_MAX) {
        ++quietSteps;
    }
}

void SecondaryTiming::restart() {
    marks = 1;
    quietSteps = 1;
    quietSinceMs = clock->nowMs();
}

void SecondaryTiming::validFrame(bool linkMade) {
    quietSteps = 0;
    quietSinceMs = clock->nowMs();
    awaitingFirst = paced && linkMade;
}

bool SecondaryTiming::quietTooLong() const {
    if (!paced) {
        return quietSteps >= SECONDARY_GIVE_UP_STEP;
    }
    return clock->nowMs() - quietSinceMs >=
           (awaitingFirst ? SECONDARY_FIRST_FRAME_MS : SECONDARY_GIVE_UP_MS);
}
