// The primary station's face toward the demo and pty programs: the calls they make, each a thin
// call on one default station over the default irphy port. Tests and libraries use PrimaryStation.
#pragma once

#include <atomic>
#include <cstdint>

#include "discovery.h"
#include "ir_err.h"
#include "lap.h"
#include "primary_station.h"

namespace primary {

// The default station and its port.
PrimaryStation& primaryDefault();

// What the SNRM offers (the fixed list unless set); call before primaryInit.
inline void primarySetOffer(const LapOffer& offer) {
    primaryDefault().setOffer(offer);
}

inline void primaryInit() {
    primaryDefault().init();
}

inline uint8_t primaryIsIdle() {
    return primaryDefault().state() == PRIMARY_START_DELAY ? 1 : 0;
}

inline uint8_t primaryIsConnecting() {
    const uint8_t state = primaryDefault().state();
    return state >= PRIMARY_DISCOVERY && state <= PRIMARY_COMM_OPEN ? 1 : 0;
}

inline uint8_t primaryIsConnected() {
    return primaryDefault().state() == PRIMARY_CONNECTED ? 1 : 0;
}

// Queues the bytes in order as one text. While the IrCOMM channel is open it waits for the engine
// to make room; otherwise bytes that do not fit are dropped (they would be discarded at channel
// open).
inline void primarySend(const uint8_t* data, uint8_t length) {
    primaryDefault().connection().send(data, length);
}

// Pops every received byte into `buffer` (at least 63 bytes) and returns how many. A data frame
// that does not fit into the queue is refused, and the secondary sends it again later.
inline uint8_t primaryReceive(uint8_t* buffer) {
    return static_cast<uint8_t>(
        primaryDefault().connection().receive(buffer, FIXED_RECEIVE_SIZE - 1));
}

// For an application that never calls primaryReceive: received data is dropped instead of holding
// up the secondary. Call after primaryInit.
inline void primaryDiscardReceived() {
    primaryDefault().connection().discardReceived();
}

// For programs that pump the channel themselves: the default station's connection (its phase,
// room, unacknowledged bytes and watch).
inline LapConnection& primaryConnection() {
    return primaryDefault().connection();
}

// The failure that last ended a link; IR_OK when none.
inline IrErr primaryLastError() {
    return primaryDefault().lastError();
}

// The service the primary opens (call before primaryInit; the names must outlive the station);
// IR_ERR_ARG when the names do not fit an IAS query.
inline IrErr primarySetService(const char* className, const char* attribute, int lsap, bool raw) {
    return primaryDefault().setService(className, attribute, lsap, raw);
}

// Discovery only: each device that answers is kept (up to PRIMARY_DISCOVERED_MAX) and none is
// connected. Call before primaryInit.
inline void primarySetDiscoverOnly(bool on) {
    primaryDefault().setDiscoverOnly(on);
}

// The index-th device kept; false past the last. Read once the task has stopped.
inline bool primaryDiscovered(uint8_t index, LapDiscovered& device) {
    return primaryDefault().discovered(index, device);
}

inline void startStackTask() {
    primaryDefault().startTask();
}

// Ends the task and waits for it; the port stays open.
inline void stopStackTask() {
    primaryDefault().stopTask();
}

// The task's run flag; a program lowers it to stop the task.
inline std::atomic<bool>& primaryTaskRunning() {
    return primaryDefault().runFlag();
}

} // namespace primary
