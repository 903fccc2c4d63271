// The board layer's receive ring and the pacing of its receive thread.
#pragma once

#include <cstdint>

#include "ir_options.h"

// A byte queue of the largest size; it holds 255.
constexpr uint16_t PLATFORM_RX_RING_SIZE = 256;
// The receive thread blocks in the port until a byte comes (at most this long, so it notices a
// closed port), then lets bytes gather while they keep coming, so it wakes a few times a frame
// and not once a byte: inside a frame for PLATFORM_RX_GATHER_MS, well below the SIR receiver's
// byte wait; before its BOF, where the receiver waits far longer, long enough for a short frame (16
// bytes at 9600 bit/s) to end; after its EOF not at all.
constexpr uint32_t PLATFORM_RX_WAIT_MS = 500;
constexpr uint32_t PLATFORM_RX_GATHER_MS = 8;
// The full profile's: the wait for a data frame's end is most of the gap between two exchanges.
constexpr uint32_t PLATFORM_RX_GATHER_FULL_MS = 4;
constexpr uint32_t PLATFORM_RX_PREAMBLE_MS = 18;
constexpr uint32_t PLATFORM_RX_CHUNK = 115;

static_assert(optionIsPowerOfTwo(PLATFORM_RX_RING_SIZE) && PLATFORM_RX_RING_SIZE <= 256,
              "the receive ring is a byte queue");
static_assert(PLATFORM_RX_CHUNK < PLATFORM_RX_RING_SIZE, "a chunk fits the ring");
static_assert(PLATFORM_RX_GATHER_MS < SIR_BYTE_WAIT_MS && PLATFORM_RX_GATHER_FULL_MS > 0 &&
                  PLATFORM_RX_PREAMBLE_MS < SIR_NOISE_QUIET_MS,
              "the receiver never gives up on bytes the thread lets gather");
