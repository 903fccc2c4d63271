// The link's terms: what a station takes from its peer's negotiation list (speed, data size, extra
// BOFs and turnaround) and the speeds it offers.
#pragma once

#include <cstdint>

#include "lap.h"

// What a connection runs with, as taken from the peer's list.
struct LapTerms {
    uint32_t speed;
    // The largest information field both accept: the most this station sends in one frame.
    uint16_t dataSize;
    // XBOFs the peer wants before each frame beyond the usual ones, at `speed`.
    uint16_t additionalBofs;
    // How long the peer needs after it has sent before it can receive.
    uint32_t turnaroundUs;
    // The most frames this station sends before it passes the turn: the peer's window, no more
    // than our own.
    uint8_t window;
    // The longest the peer lets this station keep the line in one turn.
    uint32_t maxTurnaroundMs;
    // XBOFs before every frame before the peer's extra ones: the usual ten until a negotiation,
    // none after it, as the peer has said what it needs.
    uint16_t baseBofs;
};

constexpr LapTerms LAP_FIXED_TERMS{9600, 64, 0, 0, 1, 500, SIR_XBOF_COUNT};

// XBOFs before each frame on a link with these terms.
constexpr uint16_t lapLeadBofs(const LapTerms& terms) {
    return static_cast<uint16_t>(terms.baseBofs + terms.additionalBofs);
}

// The bit of every speed up to `maxSpeed` (the 9600 bit always, which every station has).
uint8_t lapBaudBitsUpTo(uint8_t baudBits, uint32_t maxSpeed);
// The fastest speed among the bits (9600 when none is set).
uint32_t lapHighestBaud(uint8_t baudBits);
// The speed bits a secondary puts in its UA: those both offer.
uint8_t lapCommonBaudBits(const LapOffer& own, const uint8_t* peerList, uint16_t length);
// The terms of a connection from the peer's list; the speed is the highest bit of `baudBits`.
// The peer's list names neither additional BOFs nor a minimum turnaround: a brief list, which a
// secondary answers in kind.
bool lapListIsBrief(const uint8_t* peerList, uint16_t length);
LapTerms lapTakeTerms(const LapOffer& own, uint8_t baudBits, const uint8_t* peerList,
                      uint16_t length);
