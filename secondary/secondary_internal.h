// State shared by the secondary's engine, upper layers and task; not for the application.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "byte_queue.h"
#include "ir_options.h"
#include "lap.h"
#include "lap_data.h"
#include "lap_terms.h"
#include "sir.h"

namespace secondary {

extern LinkRecord linkRecord;
extern std::array<uint8_t, SECONDARY_TX_FRAME_SIZE> txFrame;
// The last reply sent, kept in txFrame until another is built there.
extern HeldFrame held;
// An I-frame went out that the primary has not acknowledged yet; read by any thread.
extern std::atomic<bool> dataUnacknowledged;
extern uint8_t stepCounter;
extern uint8_t shownState;
extern uint8_t peerComLsap;
extern std::array<uint8_t, FULL_STAGING_SIZE> staging;
extern LapOffer linkOffer;
extern LapTerms linkTerms;
// Atomic: a program counts the unacknowledged bytes from its own thread.
extern std::atomic<uint8_t> stagedCount;

extern ByteQueue receiveQueue;
extern ByteQueue transmitQueue;
// Held by each producer for the whole of one text and by the engine for the clear at channel
// open, so a text is never interleaved with another or cut by the clear.
extern std::mutex transmitLock;
// Held by the application's reader while it pops and by the engine while it clears the queue.
extern std::mutex receiveLock;

ByteLink& secondaryLink();
// Back to 9600 bit/s and nothing asked of us, for the next connection; the reset form leaves the
// port alone (start-up, where the transceiver has just been set to 9600).
void secondaryEndTerms();
void secondaryResetTerms();
// Sends the built reply in txFrame; an I-frame is held there for sending again.
void secondarySendTx(uint16_t length);
// The answer to a poll: the unacknowledged I-frame again, else (channel open) queued data, else
// an RR.
void secondaryAnswerPoll(uint8_t dlsap);

} // namespace secondary
