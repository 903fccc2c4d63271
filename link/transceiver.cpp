// Transceiver control common to all variants: the line and delay helpers.
#include "transceiver.h"

void transceiverSetLines(const TransceiverBinding& lines, uint8_t dtr, uint8_t rts) {
    // One test of the port for both lines, so a pair is never half applied by this call.
    if (!lines.portIsOpen(lines.context)) {
        return;
    }
    lines.setDtr(lines.context, dtr);
    lines.setRts(lines.context, rts);
}

void transceiverDelayMs(const TransceiverBinding& lines, uint8_t milliseconds) {
    lines.delayMs(lines.context, milliseconds);
}

void transceiverStartVariant(const TransceiverVariant& variant, const TransceiverBinding& lines) {
    variant.reset(lines);
    variant.setSpeed(lines, 9600);
}

const TransceiverVariant* transceiverVariantNamed(char name) {
    if (name == 'a' || name == 'A') {
        return &TRANSCEIVER_VARIANT_A;
    }
    if (name == 'b' || name == 'B') {
        return &TRANSCEIVER_VARIANT_B;
    }
    if (name == 'p' || name == 'P') {
        return &TRANSCEIVER_VARIANT_PLAIN;
    }
    return nullptr;
}
