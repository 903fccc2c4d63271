// Control of the infrared transceiver through the port's DTR and RTS lines.
// The variant (A or B) is chosen at build time by linking transceiver_a.cpp or transceiver_b.cpp.
#pragma once

#include <cstdint>

// How a station reaches its port's lines and waits; each port carries its own (tests a recorder).
// Every operation gets `context`, the port it belongs to.
struct TransceiverBinding {
    void* context;
    bool (*portIsOpen)(void* context);
    void (*setDtr)(void* context, uint8_t level);
    void (*setRts)(void* context, uint8_t level);
    void (*delayMs)(void* context, uint8_t milliseconds);
};

// Sets DTR first, then RTS; does nothing when the port is not open.
void transceiverSetLines(const TransceiverBinding& lines, uint8_t dtr, uint8_t rts);
void transceiverDelayMs(const TransceiverBinding& lines, uint8_t milliseconds);

// Variant-specific.
// The speeds the variant can select, as the baud-rate bits of the negotiation list.
uint8_t transceiverBaudBits();
void transceiverReset(const TransceiverBinding& lines);
void transceiverSetSpeed(const TransceiverBinding& lines, uint32_t speed);

void transceiverStart(const TransceiverBinding& lines);
