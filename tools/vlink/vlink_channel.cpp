#include "vlink_channel.h"

namespace {

constexpr uint64_t CHANNEL_SEED_STEP = 0xD1B54A32D192ED03ULL;
constexpr uint64_t STRAY_SEED_STEP = 0x8CB92BA72F3D8DD7ULL;

bool outboxPush(VlinkChannel& channel, uint8_t byte) {
    if (channel.outCount == VLINK_OUTBOX_SIZE) {
        return false;
    }
    channel.outbox[(channel.outHead + channel.outCount) % VLINK_OUTBOX_SIZE] = byte;
    channel.outCount += 1;
    return true;
}

// True when the other direction's transmitter was on during [startNs, dueNs).
bool otherSending(const VlinkChannel& other, int64_t startNs, int64_t dueNs) {
    if (other.lastLandedNs > startNs) {
        return true;
    }
    return other.airCount > 0 && other.air[other.airHead].startNs < dueNs;
}

// Takes the head byte of channel c off the air; false when its outbox has no room.
bool landHead(VlinkLink& link, int c, uint32_t rxSpeed) {
    VlinkChannel& channel = link.channels[c];
    if (channel.outCount == VLINK_OUTBOX_SIZE) {
        return false;
    }
    const VlinkAirByte air = channel.air[channel.airHead];
    channel.airHead = (channel.airHead + 1) % VLINK_AIR_SLOTS;
    channel.airCount -= 1;
    channel.lastLandedNs = air.dueNs;

    // Noise first, so that while it lasts the seed's draws do not depend on timing.
    VlinkOutcome outcome{true, air.byte};
    if (vlinkNoiseActive(link, air.dueNs)) {
        const bool inBurst = channel.dropRunLeft > 0;
        VlinkFaultCounts unused{};
        outcome = vlinkApplyNoise(channel.random, link.faults, air.byte,
                                  inBurst ? unused : channel.faults);
        if (inBurst) {
            channel.dropRunLeft -= 1;
            channel.faults.dropped += 1;
            return true;
        }
        if (!outcome.delivered) {
            channel.dropRunLeft = link.dropBurst > 1 ? link.dropBurst - 1 : 0;
            return true;
        }
    } else {
        channel.dropRunLeft = 0;
    }
    if (vlinkCutActive(link, air.dueNs)) {
        channel.faults.cut += 1;
        return true;
    }
    if (link.halfDuplex && otherSending(link.channels[1 - c], air.startNs, air.dueNs)) {
        channel.faults.blinded += 1;
        return true;
    }
    const VlinkOutcome sampled = vlinkSampleAtSpeed(outcome.byte, air.speed, rxSpeed);
    if (!sampled.delivered || sampled.byte != outcome.byte) {
        channel.faults.misspeeded += 1;
    }
    if (!sampled.delivered) {
        return true;
    }
    outboxPush(channel, sampled.byte);
    channel.delivered += 1;
    if (link.onLanded != nullptr) {
        link.onLanded(link.landedContext, c, sampled.byte, air.dueNs);
    }
    return true;
}

int64_t strayGap(const VlinkLink& link, VlinkChannel& channel) {
    return link.strayRandom ? vlinkStrayGapNs(channel.strayRandom, link.strayPeriodNs)
                            : link.strayPeriodNs;
}

int64_t headDue(const VlinkChannel& channel) {
    return channel.airCount > 0 ? channel.air[channel.airHead].dueNs : VLINK_NEVER;
}

// The light is at the receiver: a cut of the path between the ends does not stop it, but a
// receiver that is sending is blind to it as to anything else.
bool landStray(VlinkLink& link, int c) {
    VlinkChannel& channel = link.channels[c];
    if (channel.outCount == VLINK_OUTBOX_SIZE) {
        return false;
    }
    const int64_t dueNs = channel.strayDueNs;
    channel.strayDueNs += strayGap(link, channel);
    const uint8_t byte = vlinkStrayByte(channel.strayRandom);
    if (!vlinkNoiseActive(link, dueNs)) {
        return true;
    }
    if (link.halfDuplex && otherSending(link.channels[1 - c], dueNs, dueNs)) {
        channel.faults.blinded += 1;
        return true;
    }
    outboxPush(channel, byte);
    channel.faults.stray += 1;
    if (link.onLanded != nullptr) {
        link.onLanded(link.landedContext, c, byte, dueNs);
    }
    return true;
}

int64_t channelDue(const VlinkChannel& channel) {
    const int64_t air = headDue(channel);
    return channel.strayDueNs < air ? channel.strayDueNs : air;
}

} // namespace

void vlinkLinkInit(VlinkLink& link, const VlinkFaultConfig& faults, bool halfDuplex,
                   uint64_t seed) {
    for (size_t c = 0; c < link.channels.size(); ++c) {
        VlinkChannel& channel = link.channels[c];
        channel.airHead = 0;
        channel.airCount = 0;
        channel.outHead = 0;
        channel.outCount = 0;
        vlinkPacerReset(channel.pacer);
        vlinkRandomSeed(channel.random, seed ^ (CHANNEL_SEED_STEP * (c + 1)));
        vlinkRandomSeed(channel.strayRandom, seed ^ (STRAY_SEED_STEP * (c + 1)));
        channel.strayDueNs = VLINK_NEVER;
        channel.lastLandedNs = 0;
        channel.dropRunLeft = 0;
        channel.accepted = 0;
        channel.delivered = 0;
        channel.faults = VlinkFaultCounts{};
    }
    link.faults = faults;
    link.dropBurst = 1;
    link.noiseOffOnDemand = false;
    link.noiseUntilNs = VLINK_NEVER;
    link.strayPeriodNs = 0;
    link.strayRandom = false;
    link.halfDuplex = halfDuplex;
    link.cutOnDemand = false;
    link.cutFromNs = VLINK_NEVER;
    link.cutUntilNs = VLINK_NEVER;
    link.onLanded = nullptr;
    link.landedContext = nullptr;
}

void vlinkStrayStart(VlinkLink& link, int64_t periodNs, int64_t nowNs, bool random) {
    link.strayPeriodNs = periodNs > 0 ? periodNs : 0;
    link.strayRandom = random;
    for (VlinkChannel& channel : link.channels) {
        channel.strayDueNs = periodNs > 0 ? nowNs + strayGap(link, channel) : VLINK_NEVER;
    }
}

size_t vlinkAirRoom(const VlinkChannel& channel) {
    return VLINK_AIR_SLOTS - channel.airCount;
}

size_t vlinkAccept(VlinkChannel& channel, const uint8_t* bytes, size_t count, int64_t nowNs,
                   uint32_t speed) {
    size_t taken = 0;
    while (taken < count && channel.airCount < VLINK_AIR_SLOTS) {
        const VlinkSlot slot = vlinkPacerSchedule(channel.pacer, nowNs, speed);
        channel.air[(channel.airHead + channel.airCount) % VLINK_AIR_SLOTS] =
            VlinkAirByte{slot.startNs, slot.dueNs, speed, bytes[taken]};
        channel.airCount += 1;
        channel.accepted += 1;
        taken += 1;
    }
    return taken;
}

void vlinkLand(VlinkLink& link, int64_t nowNs, const std::array<uint32_t, 2>& rxSpeeds) {
    std::array<bool, 2> blocked{false, false};
    for (;;) {
        const int64_t due0 = blocked[0] ? VLINK_NEVER : channelDue(link.channels[0]);
        const int64_t due1 = blocked[1] ? VLINK_NEVER : channelDue(link.channels[1]);
        const int c = due1 < due0 ? 1 : 0;
        const int64_t due = c == 0 ? due0 : due1;
        if (due == VLINK_NEVER || due > nowNs) {
            return;
        }
        VlinkChannel& channel = link.channels[c];
        const bool landed = channel.strayDueNs < headDue(channel) ? landStray(link, c)
                                                                  : landHead(link, c, rxSpeeds[c]);
        if (!landed) {
            blocked[c] = true;
        }
    }
}

int64_t vlinkNextDueNs(const VlinkLink& link) {
    int64_t next = VLINK_NEVER;
    for (const VlinkChannel& channel : link.channels) {
        // A full outbox waits for its receiver, not for the clock.
        const int64_t due =
            channel.outCount == VLINK_OUTBOX_SIZE ? VLINK_NEVER : channelDue(channel);
        next = due < next ? due : next;
    }
    return next;
}

bool vlinkCutActive(const VlinkLink& link, int64_t timeNs) {
    return link.cutOnDemand || (timeNs >= link.cutFromNs && timeNs < link.cutUntilNs);
}

bool vlinkNoiseActive(const VlinkLink& link, int64_t timeNs) {
    return !link.noiseOffOnDemand && timeNs < link.noiseUntilNs;
}

const uint8_t* vlinkOutboxFront(const VlinkChannel& channel, size_t& count) {
    const size_t untilWrap = VLINK_OUTBOX_SIZE - channel.outHead;
    count = channel.outCount < untilWrap ? channel.outCount : untilWrap;
    return channel.outbox.data() + channel.outHead;
}

void vlinkOutboxConsume(VlinkChannel& channel, size_t count) {
    count = count < channel.outCount ? count : channel.outCount;
    channel.outHead = (channel.outHead + count) % VLINK_OUTBOX_SIZE;
    channel.outCount -= count;
}
