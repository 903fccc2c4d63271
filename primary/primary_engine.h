// The primary's ten-state IrLAP engine: one exchange per step, repeats every 10 quiet steps and
// gives the link up after 50. Its variables are written only by the task thread and primaryInit.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "ir_options.h"
#include "lap.h"
#include "lap_data.h"
#include "lap_terms.h"

namespace primary {

enum : uint8_t {
    PRIMARY_START_DELAY = 0,
    PRIMARY_DISCOVERY = 1,
    PRIMARY_CONNECTING = 2,
    PRIMARY_LINK_CHECK = 3,
    PRIMARY_IAS_CONNECT = 4,
    PRIMARY_IAS_QUERY = 5,
    PRIMARY_IAS_DISCONNECT = 6,
    PRIMARY_COMM_CONNECT = 7,
    PRIMARY_COMM_OPEN = 8,
    PRIMARY_CONNECTED = 9,
};

// Read by the state queries from any thread.
extern std::atomic<uint8_t> engineState;
extern uint8_t stepCounter;
extern uint8_t shownState;
extern LinkRecord linkRecord;
extern RxFrame rxFrame;
extern std::array<uint8_t, PRIMARY_FRAME_SIZE> txFrame;
// The last frame sent, kept in txFrame for repeating.
extern HeldFrame held;
// What the primary offers in its SNRM, and the terms of the connection it holds.
extern LapOffer linkOffer;
extern LapTerms linkTerms;

void primaryStep();
// Called first by primaryInit, whose transceiver reset then also serves the first discovery.
void primaryMarkStart();
// The full profile's engine: frame-paced steps and time-outs in time instead of steps.
bool primaryPaced();
// True when the last step saw an answer begin, so the next step reads it.
bool primaryAnswerSeen();
// True when the last answer arrived damaged, so the next step repeats at once.
bool primaryRepeatDue();
// Frame-paced: a poll is held back for the next tick, so the peer has nothing to say until then.
bool primaryPollHeld();

// Makes the first `length` bytes of txFrame the held frame and sends it.
void primarySendHeld(uint16_t length);
void primarySendRr();
// Sends the held I-frame again, its Nr brought up to date.
void primaryResendHeld();
// Frame-paced: the next frame waits for the next tick, as the last exchange moved nothing.
void primaryDeferPoll();

} // namespace primary
