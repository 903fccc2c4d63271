// The program's own variant, chosen by the library it links: built once per variant with
// TRANSCEIVER_LINKED naming its table.
#include "transceiver.h"

const TransceiverVariant& transceiverLinked() {
    return TRANSCEIVER_LINKED;
}

uint8_t transceiverBaudBits() {
    return TRANSCEIVER_LINKED.baudBits;
}

void transceiverReset(const TransceiverBinding& lines) {
    TRANSCEIVER_LINKED.reset(lines);
}

void transceiverSetSpeed(const TransceiverBinding& lines, uint32_t speed) {
    TRANSCEIVER_LINKED.setSpeed(lines, speed);
}

void transceiverStart(const TransceiverBinding& lines) {
    transceiverStartVariant(TRANSCEIVER_LINKED, lines);
}
