// Variant B: a transceiver that takes its speed from the levels of DTR and RTS.
#include "transceiver.h"

namespace {

void resetB(const TransceiverBinding& lines) {
    transceiverSetLines(lines, 0, 0);
    transceiverDelayMs(lines, 1);
    transceiverSetLines(lines, 0, 1);
}

void setSpeedB(const TransceiverBinding& lines, uint32_t speed) {
    // Three settings: 19200, 115200, and 9600 for every other speed.
    if (speed == 19200) {
        transceiverSetLines(lines, 1, 0);
    } else if (speed == 115200) {
        transceiverSetLines(lines, 1, 1);
    } else {
        transceiverSetLines(lines, 0, 1);
    }
}

} // namespace

// 9600, 19200, 115200
constexpr TransceiverVariant TRANSCEIVER_VARIANT_B{'b', 0x26, resetB, setSpeedB};
