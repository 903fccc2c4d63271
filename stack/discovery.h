// Discovery: what a device says of itself (hint bits and nickname, kept as found and written out
// for a person), the slots and flags of the discovery frames, and a station's random draws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>

#include "ir_options.h"

// Where the discovery information starts in an XID frame (after its fixed fields).
constexpr uint16_t LAP_XID_INFO_OFFSET = 14;

// The XID command's slot number that ends a round, and its flags: the slot count in the low two
// bits, and the bit that asks every device for a new address.
constexpr uint8_t LAP_XID_FINAL_SLOT = 0xFF;
constexpr uint8_t LAP_XID_NEW_ADDRESS = 0x04;
// The flags for a round of `slots` (1, 6, 8 or 16; others round up, past 16 to 16).
uint8_t lapXidSlotsFlags(uint8_t slots);
// The slots a command's flags announce.
uint8_t lapXidSlotCount(uint8_t flags);

// A station's draws: its link address and its answer's slot. Seeded once from the system's
// random source, so two stations in one room differ; tests seed it to repeat a run.
class LapRandom {
  public:
    LapRandom();
    void seed(uint32_t value) { generator.seed(value); }
    // Never 0 and never the broadcast address.
    uint32_t address();
    // 0 to slots - 1.
    uint8_t slot(uint8_t slots);
    // 0 to bound - 1 (0 when bound is 0): a pause varied by this much.
    uint32_t below(uint32_t bound);

  private:
    std::mt19937 generator;
};

// A station's own link address: its fixed one, or while random discovery is on one drawn at
// random, drawn again when the generator is seeded anew.
struct LapOwnAddress {
    explicit LapOwnAddress(uint32_t fixed) : value(fixed) {}
    void setRandom(bool on, LapRandom& random, uint32_t fixed) {
        drawn = on;
        value = on ? random.address() : fixed;
    }
    void reseed(LapRandom& random, uint32_t seed) {
        random.seed(seed);
        if (drawn) {
            value = random.address();
        }
    }
    bool drawn = false;
    uint32_t value;
};

// A nickname a device may answer with: 1 to LAP_NICKNAME_MAX printable ASCII bytes.
bool lapNicknameValid(const char* nickname);
// A device's discovery information: the hint bits (first byte low, extension bits ours), the
// ASCII character set and the nickname, which must be valid. Returns the bytes written, at most
// LAP_DISCOVERY_INFO_SIZE.
uint16_t lapPutIdentity(uint8_t* destination, uint16_t hints, const char* nickname);

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
