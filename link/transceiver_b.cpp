// Variant B: a transceiver that takes its speed from the levels of DTR and RTS.
#include "transceiver.h"

uint8_t transceiverBaudBits() {
    return 0x26; // 9600, 19200, 115200
}

void transceiverReset() {
    transceiverSetLines(0, 0);
    transceiverDelayMs(1);
    transceiverSetLines(0, 1);
}

void transceiverSetSpeed(uint32_t speed) {
    // Three settings: 19200, 115200, and 9600 for every other speed.
    if (speed == 19200) {
        transceiverSetLines(1, 0);
    } else if (speed == 115200) {
        transceiverSetLines(1, 1);
    } else {
        transceiverSetLines(0, 1);
    }
}
