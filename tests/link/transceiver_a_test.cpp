// Variant A line sequences: reset, and one RTS low pulse per step of the speed table.
#include <gtest/gtest.h>

#include "transceiver_recorder.h"

namespace {

using Events = std::vector<std::string>;

const Events ENTRY{"D0", "R1", "W1", "D1", "R1"};
const Events PULSE{"W1", "D1", "R0", "W1", "D1", "R1"};

Events speedSequence(int pulses) {
    Events events = ENTRY;
    for (int i = 0; i < pulses; ++i) {
        events.insert(events.end(), PULSE.begin(), PULSE.end());
    }
    return events;
}

Events selectSpeed(uint32_t speed) {
    bindRecorder();
    transceiverSetSpeed(recorderBinding(), speed);
    return recordedEvents;
}

TEST(TransceiverA, ResetRaisesBothThenDropsDtrForOneMillisecond) {
    bindRecorder();
    transceiverReset(recorderBinding());
    EXPECT_EQ(recordedEvents, (Events{"D1", "R1", "W50", "D0", "R1", "W1", "D1", "R1"}));
}

TEST(TransceiverA, PulsesFollowThePositionInTheStepTable) {
    EXPECT_EQ(selectSpeed(9600), speedSequence(0));
    EXPECT_EQ(selectSpeed(19200), speedSequence(1));
    EXPECT_EQ(selectSpeed(57600), speedSequence(2));
    EXPECT_EQ(selectSpeed(115200), speedSequence(3));
    EXPECT_EQ(selectSpeed(38400), speedSequence(4));
}

TEST(TransceiverA, UnknownSpeedGetsFivePulses) {
    EXPECT_EQ(selectSpeed(2400), speedSequence(5));
    EXPECT_EQ(selectSpeed(0), speedSequence(5));
}

TEST(TransceiverA, StartIsResetThenNineSixHundred) {
    bindRecorder();
    transceiverStart(recorderBinding());
    Events expected{"D1", "R1", "W50", "D0", "R1", "W1", "D1", "R1"};
    const Events speed = speedSequence(0);
    expected.insert(expected.end(), speed.begin(), speed.end());
    EXPECT_EQ(recordedEvents, expected);
}

TEST(TransceiverA, ClosedPortKeepsTheDelaysAndChangesNoLine) {
    bindRecorder();
    recordedPortOpen = false;
    transceiverStart(recorderBinding());
    transceiverSetSpeed(recorderBinding(), 115200);
    Events expected{"W50"};
    expected.insert(expected.end(), 9, "W1");
    EXPECT_EQ(recordedEvents, expected);
}

} // namespace
