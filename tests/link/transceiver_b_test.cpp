// Variant B line sequences: a short low pulse for reset, fixed levels for the speed.
#include <gtest/gtest.h>

#include "transceiver_recorder.h"

namespace {

using Events = std::vector<std::string>;

Events selectSpeed(uint32_t speed) {
    bindRecorder();
    transceiverSetSpeed(recorderBinding(), speed);
    return recordedEvents;
}

TEST(TransceiverB, ResetIsAShortPulseWithBothLinesLow) {
    bindRecorder();
    transceiverReset(recorderBinding());
    EXPECT_EQ(recordedEvents, (Events{"D0", "R0", "W1", "D0", "R1"}));
}

TEST(TransceiverB, SpeedsSetFixedLevelsWithoutDelay) {
    EXPECT_EQ(selectSpeed(9600), (Events{"D0", "R1"}));
    EXPECT_EQ(selectSpeed(19200), (Events{"D1", "R0"}));
    EXPECT_EQ(selectSpeed(115200), (Events{"D1", "R1"}));
}

TEST(TransceiverB, OtherSpeedsFallBackToNineSixHundred) {
    EXPECT_EQ(selectSpeed(57600), (Events{"D0", "R1"}));
    EXPECT_EQ(selectSpeed(38400), (Events{"D0", "R1"}));
    EXPECT_EQ(selectSpeed(2400), (Events{"D0", "R1"}));
}

TEST(TransceiverB, StartIsResetThenNineSixHundred) {
    bindRecorder();
    transceiverStart(recorderBinding());
    EXPECT_EQ(recordedEvents, (Events{"D0", "R0", "W1", "D0", "R1", "D0", "R1"}));
}

TEST(TransceiverB, ClosedPortKeepsTheDelaysAndChangesNoLine) {
    bindRecorder();
    recordedPortOpen = false;
    transceiverStart(recorderBinding());
    transceiverSetSpeed(recorderBinding(), 19200);
    EXPECT_EQ(recordedEvents, (Events{"W1"}));
}

} // namespace
