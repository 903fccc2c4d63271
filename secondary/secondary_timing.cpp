#include "secondary_timing.h"

void SecondaryTiming::start(bool framePaced) {
    paced = framePaced;
    marks = 0;
    quietSteps = 0;
    quietSinceMs = clock->nowMs();
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

void SecondaryTiming::validFrame() {
    quietSteps = 0;
    quietSinceMs = clock->nowMs();
}

bool SecondaryTiming::quietTooLong() const {
    return paced ? clock->nowMs() - quietSinceMs >= SECONDARY_GIVE_UP_MS
                 : quietSteps >= SECONDARY_GIVE_UP_STEP;
}
