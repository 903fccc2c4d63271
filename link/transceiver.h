// Control of the infrared transceiver through the port's DTR and RTS lines. Both variants are
// tables any port may hold; a program picks its own at link time (irtransceiver_a or _b).
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

// What differs between the variants.
struct TransceiverVariant {
    char name; // 'a' or 'b'
    // The speeds the variant can select, as the baud-rate bits of the negotiation list.
    uint8_t baudBits;
    void (*reset)(const TransceiverBinding& lines);
    void (*setSpeed)(const TransceiverBinding& lines, uint32_t speed);
};

extern const TransceiverVariant TRANSCEIVER_VARIANT_A;
extern const TransceiverVariant TRANSCEIVER_VARIANT_B;
// The variant named 'a' or 'b' (either case); nullptr for any other.
const TransceiverVariant* transceiverVariantNamed(char name);
// Reset, then 9600 bit/s.
void transceiverStartVariant(const TransceiverVariant& variant, const TransceiverBinding& lines);

// The variant the program linked (transceiver_linked.cpp, built once per variant).
const TransceiverVariant& transceiverLinked();
uint8_t transceiverBaudBits();
void transceiverReset(const TransceiverBinding& lines);
void transceiverSetSpeed(const TransceiverBinding& lines, uint32_t speed);

void transceiverStart(const TransceiverBinding& lines);
