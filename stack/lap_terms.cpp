#include "lap_terms.h"

#include <array>

namespace {

constexpr uint8_t PI_BAUD_RATE = 0x01;
constexpr uint8_t PI_MAX_TURNAROUND = 0x82;
constexpr uint8_t PI_DATA_SIZE = 0x83;
constexpr uint8_t PI_WINDOW_SIZE = 0x84;
constexpr uint8_t PI_ADDITIONAL_BOFS = 0x85;
constexpr uint8_t PI_MIN_TURNAROUND = 0x86;
constexpr uint32_t BOF_REFERENCE_SPEED = 115200;

// Bit 0 first, as on the wire; the speeds beyond SIR have no bit here.
constexpr std::array<uint32_t, 6> BAUD_BITS{2400, 9600, 19200, 38400, 57600, 115200};
constexpr std::array<uint16_t, 6> DATA_SIZE_BITS{64, 128, 256, 512, 1024, 2048};
constexpr std::array<uint16_t, 8> BOF_BITS{48, 24, 12, 5, 3, 2, 1, 0};
constexpr std::array<uint32_t, 8> TURNAROUND_US_BITS{10000, 5000, 1000, 500, 100, 50, 10, 0};
constexpr std::array<uint32_t, 4> MAX_TURNAROUND_MS_BITS{500, 250, 100, 50};
constexpr std::array<uint8_t, 7> WINDOW_BITS{1, 2, 3, 4, 5, 6, 7};

// The largest table value among the set bits; `none` when no bit is set.
template <typename T, size_t N>
T largestOf(uint8_t bits, const std::array<T, N>& table, T none) {
    T largest = none;
    bool found = false;
    for (size_t i = 0; i < N; ++i) {
        if ((bits & (1U << i)) != 0 && (!found || table[i] > largest)) {
            largest = table[i];
            found = true;
        }
    }
    return largest;
}

} // namespace

uint8_t lapBaudBitsUpTo(uint8_t baudBits, uint32_t maxSpeed) {
    uint8_t kept = LAP_BAUD_9600;
    for (size_t i = 0; i < BAUD_BITS.size(); ++i) {
        if ((baudBits & (1U << i)) != 0 && BAUD_BITS[i] >= 9600 && BAUD_BITS[i] <= maxSpeed) {
            kept = static_cast<uint8_t>(kept | (1U << i));
        }
    }
    return kept;
}

uint32_t lapHighestBaud(uint8_t baudBits) {
    const uint32_t highest = largestOf(baudBits, BAUD_BITS, uint32_t{9600});
    // 2400 is in the field but not among our speeds.
    return highest < 9600 ? 9600 : highest;
}

uint8_t lapCommonBaudBits(const LapOffer& own, const uint8_t* peerList, uint16_t length) {
    const uint8_t peer = lapFindParam(peerList, length, PI_BAUD_RATE);
    // 9600 is every station's; a peer that names no speed gets that.
    return static_cast<uint8_t>((own.baudBits & peer) | LAP_BAUD_9600);
}

bool lapListIsBrief(const uint8_t* peerList, uint16_t length) {
    return lapFindParam(peerList, length, PI_ADDITIONAL_BOFS) == 0 &&
           lapFindParam(peerList, length, PI_MIN_TURNAROUND) == 0;
}

LapTerms lapTakeTerms(const LapOffer& own, uint8_t baudBits, const uint8_t* peerList,
                      uint16_t length) {
    LapTerms terms = LAP_FIXED_TERMS;
    terms.speed = lapHighestBaud(static_cast<uint8_t>(baudBits & own.baudBits));
    if (!own.negotiates) {
        return terms;
    }
    // An absent entry reads as 0: the smallest size, no BOFs, no turnaround.
    const uint16_t ownSize = largestOf(own.dataSizeBits, DATA_SIZE_BITS, uint16_t{64});
    const uint16_t peerSize =
        largestOf(lapFindParam(peerList, length, PI_DATA_SIZE), DATA_SIZE_BITS, uint16_t{64});
    terms.dataSize = ownSize < peerSize ? ownSize : peerSize;
    const uint16_t bofs =
        largestOf(lapFindParam(peerList, length, PI_ADDITIONAL_BOFS), BOF_BITS, uint16_t{0});
    terms.additionalBofs = static_cast<uint16_t>(bofs * terms.speed / BOF_REFERENCE_SPEED);
    terms.baseBofs = 0;
    terms.turnaroundUs =
        largestOf(lapFindParam(peerList, length, PI_MIN_TURNAROUND), TURNAROUND_US_BITS, 0U);
    const uint8_t ownWindow = largestOf(own.windowBits, WINDOW_BITS, uint8_t{1});
    const uint8_t peerWindow =
        largestOf(lapFindParam(peerList, length, PI_WINDOW_SIZE), WINDOW_BITS, uint8_t{1});
    terms.window = ownWindow < peerWindow ? ownWindow : peerWindow;
    // Read as the other type 1 values: the largest the peer has set.
    terms.maxTurnaroundMs = largestOf(lapFindParam(peerList, length, PI_MAX_TURNAROUND),
                                      MAX_TURNAROUND_MS_BITS, LAP_FIXED_TERMS.maxTurnaroundMs);
    return terms;
}
