// The stack's settings in one place: frame and queue sizes, the task's rhythm, repeat and give-up
// counts, addresses and selectors. Every layer builds with these; the programs' and the board
// layer's own settings are theirs (apps/pty_settings.h, platform/platform_settings.h).
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Frames

// XBOFs before each frame's BOF, and the most a peer may ask for beyond them (48 at 115200).
constexpr uint16_t SIR_XBOF_COUNT = 10;
constexpr uint16_t SIR_MAX_ADDITIONAL_BOFS = 48;
// The receiver's wait for a frame's BOF, and for each byte after it.
constexpr uint16_t SIR_HUNT_WAIT_MS = 500;
constexpr uint16_t SIR_BYTE_WAIT_MS = 20;
// Full profile: a hunt that met only noise (stray light) gives up after this long without another
// byte, longer than any gap a sender or a receive thread leaves before a frame's BOF.
constexpr uint16_t SIR_NOISE_QUIET_MS = 40;
// The largest information field either station offers to take (the full profile's 2048 bytes),
// and what an offer takes when its caller names no size.
constexpr uint16_t LAP_MAX_DATA_SIZE = 2048;
constexpr uint16_t LAP_DEFAULT_DATA_SIZE = 128;
// Longest content a receiver accepts: address, control and the largest information field.
constexpr uint16_t SIR_MAX_CONTENT = 2 + LAP_MAX_DATA_SIZE;
// Content and FCS, and one byte more than a longest frame stores.
constexpr size_t SIR_RX_BUFFER_SIZE = SIR_MAX_CONTENT + 3;
// A station's transmit frame, which it holds for sending again.
constexpr uint16_t LAP_TX_FRAME_SIZE = SIR_MAX_CONTENT;
// Bytes of an information field before IrCOMM's user data: LM-MUX selectors, TinyTP credit and
// IrCOMM's control-parameter length.
constexpr uint16_t COMM_DATA_OVERHEAD = 4;

// ---- Queues between the application and the engines

// Powers of two; a queue holds one byte less than its size. The fixed profile's queues, in either
// role:
constexpr uint8_t FIXED_TRANSMIT_SIZE = 32;
constexpr uint8_t FIXED_RECEIVE_SIZE = 64;
// The full profile's, each way: the first channel's holds two windows of the largest frames' data
// (credits for one PDU in flight and one arriving), each further channel's two such frames.
constexpr uint16_t FULL_QUEUE_SIZE = 32768;
constexpr uint16_t FULL_EXTRA_QUEUE_SIZE = 4096;
// Most bytes one data frame takes from the transmit queue in the fixed profile; in the full one
// the agreed data size sets it, up to the staging's size.
constexpr uint8_t FIXED_STAGING_SIZE = 32;
constexpr uint16_t FULL_STAGING_SIZE = LAP_MAX_DATA_SIZE - COMM_DATA_OVERHEAD;
// How long a text waiting for room in the transmit queue sleeps before it looks again.
constexpr uint32_t PRIMARY_SEND_WAIT_MS = 10;
constexpr uint32_t SECONDARY_SEND_POLL_MS = 2;

// ---- The task's rhythm

// Sleep before each step of either station's task; a step that saw a frame begin is followed at
// once by the one that reads it.
constexpr uint32_t STACK_TASK_PERIOD_MS = 50;
// The primary: steps before the first discovery, quiet steps between repeats of the held frame,
// and the quiet step at which it gives the link up.
constexpr uint8_t PRIMARY_START_DELAY_STEPS = 20;
constexpr uint8_t PRIMARY_REPEAT_STEPS = 10;
constexpr uint8_t PRIMARY_GIVE_UP_STEP = 50;
// The secondary: the quiet step at which it falls back to idle.
constexpr uint8_t SECONDARY_GIVE_UP_STEP = 50;
// The same spans in time, for the frame-paced engines of the full profile, whose steps follow
// the frames.
constexpr uint32_t PRIMARY_START_DELAY_MS = PRIMARY_START_DELAY_STEPS * STACK_TASK_PERIOD_MS;
constexpr uint32_t PRIMARY_REPEAT_MS = PRIMARY_REPEAT_STEPS * STACK_TASK_PERIOD_MS;
constexpr uint32_t PRIMARY_GIVE_UP_MS = PRIMARY_GIVE_UP_STEP * STACK_TASK_PERIOD_MS;
// Frame-paced idle polling: after this long without user data, polls go every second tick (the
// bound allows for a late tick).
constexpr uint32_t PRIMARY_IDLE_AFTER_MS = 1000;
constexpr uint32_t PRIMARY_IDLE_POLL_MS = 2 * STACK_TASK_PERIOD_MS - 10;
constexpr uint32_t SECONDARY_GIVE_UP_MS = SECONDARY_GIVE_UP_STEP * STACK_TASK_PERIOD_MS;
// Full profile: repeats wait up to this much more, drawn each time, so that a repeat does not meet
// the same pattern of stray light as the frame before it.
constexpr uint32_t PRIMARY_REPEAT_JITTER_MS = 60;
// Full profile: after its UA the secondary waits this long at the new speed for the primary's
// first valid frame, then takes its UA as lost and listens at 9600 bit/s again. Under stray light
// a UA is often spoilt; the wait ends well before the primary repeats its SNRM (the SNRM and UA
// on the line and a step's lag included), so a lost UA costs one repeat like a lost SNRM. The
// primary polls at once after the UA, and repeats that first poll sooner than other frames, when
// the device's answer at the new speed would long have come, so that a lost poll is repeated
// within the device's wait.
constexpr uint32_t SECONDARY_FIRST_FRAME_MS = 250;
constexpr uint32_t PRIMARY_FIRST_POLL_REPEAT_MS = 120;
static_assert(SECONDARY_FIRST_FRAME_MS + STACK_TASK_PERIOD_MS < PRIMARY_REPEAT_MS,
              "a device whose UA was lost listens at 9600 bit/s again before the SNRM's repeat");
static_assert(PRIMARY_FIRST_POLL_REPEAT_MS + STACK_TASK_PERIOD_MS + SIR_NOISE_QUIET_MS <
                  SECONDARY_FIRST_FRAME_MS,
              "the first poll's repeat comes while the device still waits for it");

// The wire time of the shortest frame (BOF, address, control, FCS, EOF; a negotiated link may send
// no XBOFs) at `speed` (0: 9600 bit/s), rounded up: a frame that has begun lasts that long at the
// least, so a frame-paced task sleeps it before the read instead of waking once per byte.
constexpr uint32_t lapShortFrameMs(uint32_t speed) {
    constexpr uint32_t SHORT_FRAME_WIRE_BITS = 6 * 10;
    const uint32_t bitsPerSecond = speed != 0 ? speed : 9600;
    return (SHORT_FRAME_WIRE_BITS * 1000 + bitsPerSecond - 1) / bitsPerSecond;
}
// How long a line is quiet before a peer's turn counts as over: the gap between two frames of a
// turn stays well below it.
constexpr uint32_t lapQuietMs(uint32_t speed) {
    constexpr uint32_t LEAST_QUIET_MS = 10;
    return lapShortFrameMs(speed) > LEAST_QUIET_MS ? lapShortFrameMs(speed) : LEAST_QUIET_MS;
}

// ---- Addresses, hint and selectors

constexpr uint32_t PRIMARY_DEVICE_ADDRESS = 0xABCD1234;
constexpr uint32_t SECONDARY_DEVICE_ADDRESS = 0x3412CDAB;
// A link's connection address until an SNRM gives it one.
constexpr uint8_t LAP_RESET_CONNECTION_ADDRESS = 0x02;
// Service hint sent in discovery by both stations.
constexpr uint8_t IRCOMM_HINT = 0x04;
// Each station's own LSAP selector (IAS is always selector 0).
constexpr uint8_t PRIMARY_OWN_LSAP = 2;
constexpr uint8_t SECONDARY_OWN_LSAP = 4;
// Channels one link carries at once in the full profile (the first is the connection's own
// queues); the others take selectors after the station's own.
constexpr uint8_t MUX_CHANNELS = 4;
// An IAS query is one frame, and every peer takes 64 bytes of information field: less the LM-MUX
// header, the operation and two length bytes, that leaves this much for the class and attribute.
constexpr uint16_t IAS_NAMES_MAX = 64 - 5;

// ---- The trace

// What the engines' state lines begin with ("<label> state:\t<n>") unless a station is given its
// own label; the demo programs' trace has always said this, whichever the role.
inline constexpr char DEMO_STATE_LABEL[] = "secondary_demo";

// ---- Discovery without connecting (primary_pty --discover)

// The longest nickname a device answers with; each device's discovery information kept (two hint
// bytes, the character set and the nickname), and devices kept.
constexpr uint8_t LAP_NICKNAME_MAX = 32;
constexpr uint8_t LAP_DISCOVERY_INFO_SIZE = 3 + LAP_NICKNAME_MAX;
constexpr uint8_t PRIMARY_DISCOVERED_MAX = 8;
// The full profile's discovery: slots a round offers (1, 6, 8 or 16), and how long each waits for
// an answer to begin, counted from the slot's command, whose own 29 ms on the line at 9600 bit/s
// it includes. A round of six lasts about half a second.
constexpr uint8_t LAP_DISCOVERY_SLOTS = 6;
constexpr uint32_t LAP_SLOT_MS = 80;
// A connect searches in rounds of one slot, which a lone device answers at once; every
// LAP_WIDE_ROUND_EVERY-th unanswered round has LAP_DISCOVERY_SLOTS, so that devices answering
// together are told apart. For the first PRIMARY_QUICK_SEARCH_MS of a search, rounds follow each
// other after a short pause, varied so that a retry does not meet the same pattern of stray light;
// later the start delay's. Under daylight a round gets through about one time in three, and the
// quick rounds must not end before the search almost surely has.
constexpr uint8_t LAP_WIDE_ROUND_EVERY = 3;
constexpr uint32_t PRIMARY_QUICK_SEARCH_MS = 6000;
constexpr uint32_t PRIMARY_SEARCH_PAUSE_MS = 20;
constexpr uint32_t PRIMARY_SEARCH_JITTER_MS = 60;
// ---- Ports

// A port's name as the user gives it, or the path it maps to, with its terminating NUL.
constexpr size_t PORT_NAME_SIZE = 256;

// ---- What the settings must keep to

constexpr bool optionIsPowerOfTwo(unsigned size) {
    return size != 0 && (size & (size - 1)) == 0;
}
static_assert(optionIsPowerOfTwo(FIXED_TRANSMIT_SIZE) && optionIsPowerOfTwo(FIXED_RECEIVE_SIZE) &&
                  optionIsPowerOfTwo(FULL_QUEUE_SIZE) && optionIsPowerOfTwo(FULL_EXTRA_QUEUE_SIZE),
              "the byte queues index with a mask");
static_assert(FULL_QUEUE_SIZE <= 32768, "the byte queues' indices are 16 bits");
static_assert(FULL_QUEUE_SIZE > 7 * FULL_STAGING_SIZE, "the first queue holds a window's data");
static_assert(FULL_EXTRA_QUEUE_SIZE > 2 * FULL_STAGING_SIZE, "a further queue holds two frames");
static_assert(LAP_DEFAULT_DATA_SIZE <= LAP_MAX_DATA_SIZE && LAP_MAX_DATA_SIZE <= 2048,
              "data sizes the negotiation can name");
static_assert(SIR_MAX_CONTENT + 2 <= SIR_RX_BUFFER_SIZE, "content and FCS fit the receive buffer");
static_assert(7 + IAS_NAMES_MAX <= LAP_TX_FRAME_SIZE, "an IAS query fits the transmit frame");
static_assert(PRIMARY_REPEAT_STEPS < PRIMARY_GIVE_UP_STEP,
              "the primary repeats before it gives up");
