// Control of the infrared transceiver through the port's DTR and RTS lines. The variants are
// tables any port may hold; the demo programs pick theirs at link time (irtransceiver_a or _b),
// the library by name when a port opens.
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
    char name = 0; // 'a', 'b' or 'p'
    // The speeds the variant can select, as the baud-rate bits of the negotiation list.
    uint8_t baudBits = 0;
    void (*reset)(const TransceiverBinding& lines) = nullptr;
    void (*setSpeed)(const TransceiverBinding& lines, uint32_t speed) = nullptr;
    // DTR and RTS stay raised through every setting of the port, as nothing listens to them.
    bool linesRaised = false;
    // The speeds are those the port's device accepts among baudBits, asked when it opens.
    bool speedsFromPort = false;
};

extern const TransceiverVariant TRANSCEIVER_VARIANT_A;
extern const TransceiverVariant TRANSCEIVER_VARIANT_B;
// No transceiver behind the lines: the port's own speed is the link's (an encoder in the serial
// chip, or a UART whose output drives the LED).
extern const TransceiverVariant TRANSCEIVER_VARIANT_PLAIN;
// The variant named 'a', 'b' or 'p' (either case); nullptr for any other.
const TransceiverVariant* transceiverVariantNamed(char name);
// Reset, then 9600 bit/s.
void transceiverStartVariant(const TransceiverVariant& variant, const TransceiverBinding& lines);

// The variant the program linked (transceiver_linked.cpp, built once per variant).
const TransceiverVariant& transceiverLinked();
uint8_t transceiverBaudBits();
void transceiverReset(const TransceiverBinding& lines);
void transceiverSetSpeed(const TransceiverBinding& lines, uint32_t speed);

void transceiverStart(const TransceiverBinding& lines);
