// Variant A: a transceiver that steps through its speeds, one RTS low pulse per step.
#include <array>

#include "transceiver.h"

namespace {

// The order in which the transceiver advances; 38400 comes last.
constexpr std::array<uint32_t, 5> SPEED_STEPS{9600, 19200, 57600, 115200, 38400};

void resetA(const TransceiverBinding& lines) {
    transceiverSetLines(lines, 1, 1);
    transceiverDelayMs(lines, 50);
    transceiverSetLines(lines, 0, 1);
    transceiverDelayMs(lines, 1);
    transceiverSetLines(lines, 1, 1);
}

void setSpeedA(const TransceiverBinding& lines, uint32_t speed) {
    transceiverSetLines(lines, 0, 1);
    transceiverDelayMs(lines, 1);
    transceiverSetLines(lines, 1, 1);
    // A speed outside the table gets a pulse for every step.
    for (const uint32_t step : SPEED_STEPS) {
        if (speed == step) {
            break;
        }
        transceiverDelayMs(lines, 1);
        transceiverSetLines(lines, 1, 0);
        transceiverDelayMs(lines, 1);
        transceiverSetLines(lines, 1, 1);
    }
}

} // namespace

// 9600, 19200, 38400, 57600, 115200
constexpr TransceiverVariant TRANSCEIVER_VARIANT_A{'a', 0x3E, resetA, setSpeedA};
