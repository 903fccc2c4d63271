// Variant B: a transceiver that takes its speed from the levels of DTR and RTS.
#include "transceiver.h"

uint8_t transceiverBaudBits() {
    return 0x26; // 9600, 19200, 115200
}

void transceiverReset(const TransceiverBinding& lines) {
    transceiverSetLines(lines, 0, 0);
    transceiverDelayMs(lines, 1);
    transceiverSetLines(lines, 0, 1);
}

void transceiverSetSpeed(const TransceiverBinding& lines, uint32_t speed) {
    // Three settings: 19200, 115200, and 9600 for every other speed.
    if (speed == 19200) {
        transceiverSetLines(lines, 1, 0);
    } else if (speed == 115200) {
        transceiverSetLines(lines, 1, 1);
    } else {
        transceiverSetLines(lines, 0, 1);
    }
}
