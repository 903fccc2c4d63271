// What a device says of itself in discovery: its hint bits and nickname, kept as found and
// written out for a person.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "ir_options.h"

// Where the discovery information starts in an XID frame (after its fixed fields).
constexpr uint16_t LAP_XID_INFO_OFFSET = 14;

struct LapDiscovered {
    uint32_t address = 0; // as read from the wire
    uint8_t infoLength = 0;
    std::array<uint8_t, LAP_DISCOVERY_INFO_SIZE> info{};
};

// One line for a person: the address, the hint bits by name, then the rest of the information as
// text, each byte that is not printable as \xNN. Always ends the text within `out`.
void lapDescribeDiscovered(const LapDiscovered& device, std::span<char> out);

// The hint bits that have names, as "PDA/Palmtop, IrCOMM" ("" when none); always ended in `out`.
void lapHintNames(const LapDiscovered& device, std::span<char> out);
// The nickname after the hint bytes and character set, each byte that is not printable as '?';
// always ended in `out`.
void lapNickname(const LapDiscovered& device, std::span<char> out);
// The first two hint bytes, the first in the low byte.
uint16_t lapHintBits(const LapDiscovered& device);
