// Transceiver control common to both variants: the line and delay helpers.
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

void transceiverStart(const TransceiverBinding& lines) {
    transceiverReset(lines);
    transceiverSetSpeed(lines, 9600);
}
