// The secondary station's face for the demo and pty programs: one default station on the
// platform's UART, under the names the programs have always called.
#pragma once

#include <atomic>
#include <cstdint>

#include "ir_err.h"
#include "lap.h"
#include "lap_terms.h"
#include "secondary_station.h"
#include "win32.h"

namespace secondary {

// The default station and the platform's UART port under it.
SecondaryStation& secondaryDefault();

// Engine: one non-blocking step; reads at most one frame and sends at most one reply.
void secondaryStep();
// True when the last step saw a byte waiting, so the next step reads the frame.
bool secondaryByteSeen();
// The full profile's engine: frame-paced steps and the give-up in time instead of steps.
bool secondaryPaced();
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
// The last failure of the port or the link (a lost port, a refused speed), IR_OK while none.
IrErr secondaryLastError();

// For programs that pump the channel themselves: the default station's connection (its phase,
// room, unacknowledged bytes and watch).
LapConnection& secondaryConnection();
// The service the secondary offers (call before secondaryInit): the IAS class and attribute it
// answers, and `raw`: TinyTP data as it is, without the IrCOMM parameters, the channel open as
// soon as TinyTP connects. IR_ERR_ARG when the names are too long for an IAS query.
IrErr secondarySetService(const char* className, const char* attribute, bool raw);
// Off: the task leaves received bytes in the queue for the program and answers nothing itself
// (on by default: it prints them and answers "AT" with "OK").
void secondarySetDemoAnswers(bool on);

void startStackTask();
// Ends the task and waits for it; the platform's port and thread stay.
void stopStackTask();
// The task's run flag; the program lowers it to stop the station.
std::atomic<bool>& secondaryTaskRunning();
// The task of `station` (nullptr: the default one) while its run flag is up.
DWORD WINAPI stackTask(LPVOID station);
// One pass of the task after its sleep: a step, then fetch, print and answer "AT".
void secondaryTaskPass();

} // namespace secondary
