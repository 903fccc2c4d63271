#include "vlink_faults.h"

#include "sir.h"

#include <cmath>

namespace {

// Level of the sender's line in its bit cell `cell` (0 start, 1..8 data, 9 stop, then idle).
bool lineLevel(uint8_t byte, uint64_t cell) {
    if (cell == 0) {
        return false;
    }
    if (cell <= 8) {
        return ((byte >> (cell - 1)) & 1U) != 0;
    }
    return true;
}

bool speedsMatch(uint32_t a, uint32_t b) {
    const uint64_t high = a > b ? a : b;
    const uint64_t low = a > b ? b : a;
    return (high - low) * 50 <= high;
}

} // namespace

void vlinkRandomSeed(VlinkRandom& random, uint64_t seed) {
    random.state = seed;
}

uint64_t vlinkRandomNext(VlinkRandom& random) {
    random.state += 0x9E3779B97F4A7C15ULL;
    uint64_t z = random.state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double vlinkRandomUnit(VlinkRandom& random) {
    return static_cast<double>(vlinkRandomNext(random) >> 11) * 0x1.0p-53;
}

VlinkOutcome vlinkApplyNoise(VlinkRandom& random, const VlinkFaultConfig& config, uint8_t byte,
                             VlinkFaultCounts& counts) {
    VlinkOutcome outcome{true, byte};
    if (config.dropRate > 0.0 && vlinkRandomUnit(random) < config.dropRate) {
        outcome.delivered = false;
        counts.dropped += 1;
    }
    if (config.bitErrorRate > 0.0) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            if (vlinkRandomUnit(random) < config.bitErrorRate) {
                outcome.byte = static_cast<uint8_t>(outcome.byte ^ (1U << bit));
                counts.bitErrors += outcome.delivered ? 1 : 0;
            }
        }
    }
    return outcome;
}

VlinkOutcome vlinkSampleAtSpeed(uint8_t byte, uint32_t txSpeed, uint32_t rxSpeed) {
    if (txSpeed == 0 || rxSpeed == 0 || speedsMatch(txSpeed, rxSpeed)) {
        return VlinkOutcome{true, byte};
    }
    // Sample i lies (i + 1/2) receiver bit times after the start edge, i.e. in sender cell
    // floor((2i + 1) * tx / (2 * rx)).
    auto sample = [&](uint64_t i) {
        return lineLevel(byte, (2 * i + 1) * txSpeed / (2 * static_cast<uint64_t>(rxSpeed)));
    };
    if (sample(0)) {
        return VlinkOutcome{false, 0}; // false start
    }
    uint8_t received = 0;
    for (uint64_t i = 1; i <= 8; ++i) {
        received = static_cast<uint8_t>(received | (sample(i) ? 1U << (i - 1) : 0U));
    }
    if (!sample(9)) {
        return VlinkOutcome{false, 0}; // framing error
    }
    return VlinkOutcome{true, received};
}

uint8_t vlinkStrayByte(VlinkRandom& random) {
    for (;;) {
        const auto byte = static_cast<uint8_t>(vlinkRandomNext(random) >> 56);
        if (byte != SIR_BOF && byte != SIR_EOF && byte != SIR_CE && byte != SIR_XBOF) {
            return byte;
        }
    }
}

int64_t vlinkStrayGapNs(VlinkRandom& random, int64_t meanNs) {
    // 1 - u lies in (0, 1], so the logarithm is finite: at most about 37 means.
    const double gap = -std::log(1.0 - vlinkRandomUnit(random)) * static_cast<double>(meanNs);
    return static_cast<int64_t>(gap);
}
