// State shared by the secondary's engine, upper layers and task; not for the application.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "byte_queue.h"
#include "lap.h"
#include "sir.h"

namespace secondary {

constexpr uint8_t SECONDARY_MAX_STAGED = 32;
// The longest reply: IrCOMM header, line settings and 32 data bytes.
constexpr uint16_t SECONDARY_TX_FRAME_SIZE = 41;

extern LinkRecord linkRecord;
extern std::array<uint8_t, SECONDARY_TX_FRAME_SIZE> txFrame;
extern uint8_t stepCounter;
extern uint8_t shownState;
extern uint8_t peerComLsap;
extern std::array<uint8_t, SECONDARY_MAX_STAGED> staging;
extern uint8_t stagedCount;

extern ByteQueue receiveQueue;
extern ByteQueue transmitQueue;
// Held by each producer for the whole of one text and by the engine for the clear at channel
// open, so a text is never interleaved with another or cut by the clear.
extern std::mutex transmitLock;

ByteLink& secondaryLink();
// Sends the built reply in txFrame.
void secondarySendTx(uint16_t length);

} // namespace secondary
