// Faults of the virtual link: seeded bit errors, dropped bytes and stray bytes, and what a
// receiver set to another speed makes of a byte.
#pragma once

#include <cstdint>

// splitmix64: the same seed gives the same faults on every platform.
struct VlinkRandom {
    uint64_t state;
};

void vlinkRandomSeed(VlinkRandom& random, uint64_t seed);
uint64_t vlinkRandomNext(VlinkRandom& random);
// Uniform in [0, 1).
double vlinkRandomUnit(VlinkRandom& random);

struct VlinkFaultConfig {
    double bitErrorRate; // chance of each data bit being flipped
    double dropRate;     // chance of a byte being lost
};

struct VlinkFaultCounts {
    uint64_t bitErrors;  // bits flipped
    uint64_t dropped;    // bytes lost to the drop rate
    uint64_t cut;        // bytes lost while the link was cut
    uint64_t blinded;    // bytes lost to a receiver that was sending (half duplex)
    uint64_t misspeeded; // bytes lost or garbled by a speed mismatch
    uint64_t stray;      // bytes of ambient light delivered
};

struct VlinkOutcome {
    bool delivered;
    uint8_t byte;
};

// The random faults on one byte. Draws the same numbers whatever the byte, so a seed reproduces
// the same faults on the same traffic.
VlinkOutcome vlinkApplyNoise(VlinkRandom& random, const VlinkFaultConfig& config, uint8_t byte,
                             VlinkFaultCounts& counts);

// Samples a byte sent at txSpeed as a receiver at rxSpeed does: from the falling edge of the start
// bit, one sample in the middle of each of its own bit times. A false start or a missing stop bit
// loses the byte. Speeds within 2 % of each other receive it intact.
VlinkOutcome vlinkSampleAtSpeed(uint8_t byte, uint32_t txSpeed, uint32_t rxSpeed);

// A byte that ambient light (daylight, a lamp) makes a receiver see. Never BOF, EOF, the control
// escape or XBOF: noise that falls inside a frame must spoil its check, not end or restart it.
uint8_t vlinkStrayByte(VlinkRandom& random);

// The wait until the next stray byte when they come at random moments, meanNs apart on average:
// exponential, so the bytes are a Poisson process and may fall anywhere inside a frame.
int64_t vlinkStrayGapNs(VlinkRandom& random, int64_t meanNs);
