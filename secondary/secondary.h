// The secondary station: its stepped IrLAP engine, the upper layers it serves (LM-MUX, IAS, TinyTP,
// IrCOMM) and the task and service interface the console uses.
#pragma once

#include <atomic>
#include <cstdint>

#include "ir_options.h"
#include "lap.h"
#include "lap_terms.h"
#include "sir.h"
#include "win32.h"

namespace secondary {

constexpr uint8_t OWN_LSAP = SECONDARY_OWN_LSAP;

enum SecondaryState : uint8_t {
    SEC_IDLE = 0,
    SEC_DISCOVERED = 1,
    SEC_LINKED = 2,
    SEC_LM_CONNECTED = 3,
    SEC_TTP_CONNECTED = 4,
    SEC_IRCOMM_OPEN = 5,
};

// Read from any thread; written only by the thread that runs secondaryStep.
extern std::atomic<uint8_t> engineState;
extern std::atomic<bool> taskRunning;

// Engine: one non-blocking step; reads at most one frame and sends at most one reply.
void secondaryStep();
// True when the last step saw a byte waiting, so the next step reads the frame.
bool secondaryByteSeen();
// The full profile's engine: frame-paced steps and the give-up in time instead of steps.
bool secondaryPaced();
void secondaryHandleIFrame(const uint8_t* frame, uint16_t length);
void secondarySendPending(uint8_t dlsap, bool lineSettings);

// The byte link the engine reads and writes; the platform UART unless a test binds another.
void secondaryBindLink(ByteLink* link);
// How the engine changes the link's speed once its UA has left; the platform UART's unless a test
// binds another (nullptr restores it).
void secondaryBindSpeedSwitch(void (*setSpeed)(uint32_t speed));
// What the UA offers (the fixed list unless set); call before secondaryInit.
void secondarySetOffer(const LapOffer& offer);

// Service interface.
void secondaryInit();
uint8_t secondaryIsIdle();
uint8_t secondaryIsConnecting();
uint8_t secondaryIsConnected();
// Queues one text whole. While the IrCOMM channel is open a text larger than the free room waits
// for the engine to drain the queue; otherwise a text that does not fit is dropped (the engine
// discards everything queued before the channel opens anyway). Never call from the task thread.
void secondarySend(const uint8_t* data, uint8_t length);
// Non-blocking form for the task thread: queues the whole text and returns true, or queues
// nothing and returns false when it does not fit or another producer holds the queue.
bool secondaryTrySend(const uint8_t* data, uint8_t length);
// Pops every received byte into buffer (room for 63 bytes) and returns how many. A data frame
// that does not fit into the queue is refused, and the primary sends it again later.
uint8_t secondaryReceive(uint8_t* buffer);
// Every byte queued so far has gone out and the primary has acknowledged it.
uint8_t secondaryAllAcknowledged();

// For programs that pump the channel themselves: the link as the user sees it, and the transmit
// queue's free room and the bytes waiting in it.
extern LinkWatch linkWatch;
LinkPhase secondaryPhase();
int secondaryTransmitRoom();
// Bytes queued or sent that the primary has not acknowledged; exact once the task has stopped or
// the channel is lost.
int secondaryUnacknowledged();
// The service the secondary offers (call before secondaryInit; the names must outlive the
// station): the IAS class and attribute it answers, and `raw`: TinyTP data as it is, without the
// IrCOMM parameters, the channel open as soon as TinyTP connects.
void secondarySetService(const char* className, const char* attribute, bool raw);
// Off: the task leaves received bytes in the queue for the program and answers nothing itself
// (on by default: it prints them and answers "AT" with "OK").
void secondarySetDemoAnswers(bool on);

void startStackTask();
// Ends the task and waits for it; the platform's port and thread stay.
void stopStackTask();
DWORD WINAPI stackTask(LPVOID parameter);
// One pass of the task after its sleep: a step, then fetch, print and answer "AT".
void secondaryTaskPass();
void dumpReceived(const uint8_t* data, uint16_t count);

} // namespace secondary
