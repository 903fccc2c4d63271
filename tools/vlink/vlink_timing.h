// Line timing of the virtual link: how long a byte is on the air at a given speed, and when each
// byte handed to a sender has fully arrived.
#pragma once

#include <cstdint>

// Start bit, eight data bits, stop bit.
constexpr int64_t VLINK_BITS_PER_BYTE = 10;
constexpr int64_t VLINK_NS_PER_S = 1'000'000'000;

// Air time of one byte in nanoseconds (rounded down); speed 0 counts as 9600 bit/s.
int64_t vlinkByteTimeNs(uint32_t speed);

// One sender's transmitter. Bytes leave back to back while it is busy; the due times of a run are
// computed from the run's start so that rounding never accumulates.
struct VlinkPacer {
    int64_t runStartNs;
    uint32_t runSpeed;
    int64_t runBytes;
    int64_t busyUntilNs; // end of the last scheduled byte
};

struct VlinkSlot {
    int64_t startNs; // first edge of the start bit
    int64_t dueNs;   // end of the stop bit: the byte is complete at the receiver
};

void vlinkPacerReset(VlinkPacer& pacer);
// Schedules one byte handed over at nowNs: it starts when the transmitter is free.
VlinkSlot vlinkPacerSchedule(VlinkPacer& pacer, int64_t nowNs, uint32_t speed);
