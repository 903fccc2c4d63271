// The secondary station's face for the demo and pty programs: thin calls on one default station on
// the platform's UART, under the names the programs have always called.
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
inline void secondaryStep() {
    secondaryDefault().step();
}

// True when the last step saw a byte waiting, so the next step reads the frame.
inline bool secondaryByteSeen() {
    return secondaryDefault().byteSeen();
}

// The full profile's engine: frame-paced steps and the give-up in time instead of steps.
inline bool secondaryPaced() {
    return secondaryDefault().paced();
}

// What the UA offers (the fixed list unless set); call before secondaryInit.
inline void secondarySetOffer(const LapOffer& offer) {
    secondaryDefault().setOffer(offer);
}

// Service interface.
void secondaryInit();
inline uint8_t secondaryIsIdle() {
    return secondaryDefault().state() == SEC_IDLE ? 1 : 0;
}

inline uint8_t secondaryIsConnecting() {
    const SecondaryState state = secondaryDefault().state();
    return state >= SEC_DISCOVERED && state <= SEC_TTP_CONNECTED ? 1 : 0;
}

inline uint8_t secondaryIsConnected() {
    return secondaryDefault().state() == SEC_IRCOMM_OPEN ? 1 : 0;
}

// Queues one text whole. While the IrCOMM channel is open a text larger than the free room waits
// for the engine to drain the queue; otherwise a text that does not fit is dropped (the engine
// discards everything queued before the channel opens anyway). Never call from the task thread.
inline void secondarySend(const uint8_t* data, uint8_t length) {
    secondaryDefault().send(data, length);
}

// Non-blocking form for the task thread: queues the whole text and returns true, or queues
// nothing and returns false when it does not fit or another producer holds the queue.
inline bool secondaryTrySend(const uint8_t* data, uint8_t length) {
    return secondaryDefault().connection().trySend(data, length);
}

// Pops every received byte into buffer (room for 63 bytes) and returns how many. A data frame
// that does not fit into the queue is refused, and the primary sends it again later.
inline uint8_t secondaryReceive(uint8_t* buffer) {
    return static_cast<uint8_t>(
        secondaryDefault().connection().receive(buffer, FIXED_RECEIVE_SIZE - 1));
}

// The last failure of the port or the link (a lost port, a refused speed), IR_OK while none.
inline IrErr secondaryLastError() {
    return secondaryDefault().lastError();
}

// For programs that pump the channel themselves: the default station's connection (its phase,
// room, unacknowledged bytes and watch).
inline LapConnection& secondaryConnection() {
    return secondaryDefault().connection();
}

// The service the secondary offers (call before secondaryInit): the IAS class and attribute it
// answers, and `raw`: TinyTP data as it is, without the IrCOMM parameters, the channel open as
// soon as TinyTP connects. IR_ERR_ARG when the names are too long for an IAS query.
inline IrErr secondarySetService(const char* className, const char* attribute, bool raw) {
    return secondaryDefault().setService(className, attribute, raw);
}

// Off: the task leaves received bytes in the queue for the program and answers nothing itself
// (on by default: it prints them and answers "AT" with "OK").
inline void secondarySetDemoAnswers(bool on) {
    secondaryDefault().setDemoAnswers(on);
}

inline void startStackTask() {
    secondaryDefault().startTask();
}

// Ends the task and waits for it; the platform's port and thread stay.
inline void stopStackTask() {
    secondaryDefault().stopTask();
}

// The task's run flag; the program lowers it to stop the station.
inline std::atomic<bool>& secondaryTaskRunning() {
    return secondaryDefault().runFlag();
}

// The task of `station` (nullptr: the default one) while its run flag is up.
DWORD WINAPI stackTask(LPVOID station);
// One pass of the task after its sleep: a step, then fetch, print and answer "AT".
inline void secondaryTaskPass() {
    secondaryDefault().taskPass();
}

} // namespace secondary
