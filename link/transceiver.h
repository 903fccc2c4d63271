// Control of the infrared transceiver through the port's DTR and RTS lines.
// The variant (A or B) is chosen at build time by linking transceiver_a.cpp or transceiver_b.cpp.
#pragma once

#include <cstdint>

// How a station reaches the lines and waits; bound once at start-up (tests bind a recorder).
struct TransceiverBinding {
    bool (*portIsOpen)();
    void (*setDtr)(uint8_t level);
    void (*setRts)(uint8_t level);
    void (*delayMs)(uint8_t milliseconds);
};

void transceiverBind(const TransceiverBinding* binding);

// Sets DTR first, then RTS; does nothing when the port is not open.
void transceiverSetLines(uint8_t dtr, uint8_t rts);
void transceiverDelayMs(uint8_t milliseconds);

// Variant-specific.
// The speeds the variant can select, as the baud-rate bits of the negotiation list.
uint8_t transceiverBaudBits();
void transceiverReset();
void transceiverSetSpeed(uint32_t speed);

void transceiverStart();
