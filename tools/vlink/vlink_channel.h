// The two directions of the virtual link without any I/O: bytes on the air with their due times,
// the faults met on landing, stray bytes of ambient light, and the bytes waiting to be written to
// the receiving end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "vlink_faults.h"
#include "vlink_timing.h"

constexpr size_t VLINK_AIR_SLOTS = 8192;
constexpr size_t VLINK_OUTBOX_SIZE = 4096;
constexpr int64_t VLINK_NEVER = INT64_MAX;

struct VlinkAirByte {
    int64_t startNs;
    int64_t dueNs;
    uint32_t speed; // the sender's speed
    uint8_t byte;
};

// One direction: channel 0 carries from the first end to the second, channel 1 back.
struct VlinkChannel {
    std::array<VlinkAirByte, VLINK_AIR_SLOTS> air;
    size_t airHead;
    size_t airCount;
    std::array<uint8_t, VLINK_OUTBOX_SIZE> outbox;
    size_t outHead;
    size_t outCount;
    VlinkPacer pacer;
    VlinkRandom random;
    VlinkRandom strayRandom; // its own, so the noise's draws do not depend on the clock
    int64_t strayDueNs;      // the next stray byte, VLINK_NEVER without them
    int64_t lastLandedNs;    // due time of the last byte taken off the air
    uint32_t dropRunLeft;    // bytes still to lose of the current burst
    uint64_t accepted;
    uint64_t delivered;
    VlinkFaultCounts faults;
};

// Called for every byte that reaches the receiving end intact or not, with its due time.
using VlinkLandedFn = void (*)(void* context, int channel, uint8_t byte, int64_t dueNs);

struct VlinkLink {
    std::array<VlinkChannel, 2> channels;
    VlinkFaultConfig faults;
    uint32_t dropBurst;    // bytes lost in a row from each drop; 1 loses single bytes
    bool noiseOffOnDemand; // toggled by the user
    int64_t noiseUntilNs;  // bit errors, drops and stray bytes stop from here on
    int64_t strayPeriodNs; // 0: no stray bytes
    bool strayRandom;      // strayPeriodNs is the mean of random gaps, not a steady beat
    bool halfDuplex;
    bool cutOnDemand; // toggled by the user
    int64_t cutFromNs;
    int64_t cutUntilNs;
    VlinkLandedFn onLanded;
    void* landedContext;
};

void vlinkLinkInit(VlinkLink& link, const VlinkFaultConfig& faults, bool halfDuplex, uint64_t seed);

// A stray byte lands at each receiving end every periodNs from nowNs on; 0 stops them. With random,
// at random moments periodNs apart on average, drawn from each end's seeded stray generator.
void vlinkStrayStart(VlinkLink& link, int64_t periodNs, int64_t nowNs, bool random = false);

size_t vlinkAirRoom(const VlinkChannel& channel);
// Puts bytes read from a sender at speed on the air; takes no more than there is room for.
size_t vlinkAccept(VlinkChannel& channel, const uint8_t* bytes, size_t count, int64_t nowNs,
                   uint32_t speed);

// Lands every byte due by nowNs, stray bytes among them, earliest first across both directions.
// rxSpeeds[c] is the speed of the end that channel c delivers to. A byte whose outbox is full stays
// on the air.
void vlinkLand(VlinkLink& link, int64_t nowNs, const std::array<uint32_t, 2>& rxSpeeds);
// Earliest due time still on the air in a direction that can land, or VLINK_NEVER.
int64_t vlinkNextDueNs(const VlinkLink& link);
bool vlinkCutActive(const VlinkLink& link, int64_t timeNs);
// True while bit errors, drops and stray bytes apply to bytes due at timeNs.
bool vlinkNoiseActive(const VlinkLink& link, int64_t timeNs);

// The oldest contiguous run of bytes waiting in the outbox.
const uint8_t* vlinkOutboxFront(const VlinkChannel& channel, size_t& count);
void vlinkOutboxConsume(VlinkChannel& channel, size_t count);
