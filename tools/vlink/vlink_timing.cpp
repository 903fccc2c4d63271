#include "vlink_timing.h"

namespace {

constexpr uint32_t DEFAULT_SPEED = 9600;
// A run is restarted from its current end now and then, which keeps the products below in range.
constexpr int64_t MAX_RUN_BYTES = 1'000'000;

uint32_t usableSpeed(uint32_t speed) {
    return speed == 0 ? DEFAULT_SPEED : speed;
}

int64_t runOffsetNs(int64_t bytes, uint32_t speed) {
    return bytes * VLINK_BITS_PER_BYTE * VLINK_NS_PER_S / static_cast<int64_t>(speed);
}

} // namespace

int64_t vlinkByteTimeNs(uint32_t speed) {
    return runOffsetNs(1, usableSpeed(speed));
}

void vlinkPacerReset(VlinkPacer& pacer) {
    pacer = VlinkPacer{0, DEFAULT_SPEED, 0, 0};
}

VlinkSlot vlinkPacerSchedule(VlinkPacer& pacer, int64_t nowNs, uint32_t speed) {
    speed = usableSpeed(speed);
    if (nowNs >= pacer.busyUntilNs) {
        // Idle transmitter: a new run starts now.
        pacer.runStartNs = nowNs;
        pacer.runSpeed = speed;
        pacer.runBytes = 0;
    } else if (speed != pacer.runSpeed || pacer.runBytes >= MAX_RUN_BYTES) {
        pacer.runStartNs = pacer.busyUntilNs;
        pacer.runSpeed = speed;
        pacer.runBytes = 0;
    }
    const int64_t startNs = pacer.runStartNs + runOffsetNs(pacer.runBytes, speed);
    pacer.runBytes += 1;
    const int64_t dueNs = pacer.runStartNs + runOffsetNs(pacer.runBytes, speed);
    pacer.busyUntilNs = dueNs;
    return VlinkSlot{startNs, dueNs};
}
