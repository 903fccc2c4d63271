// The primary station's face toward the demo and pty programs: the calls they make, on one default
// station over the default irphy port. Tests and libraries use PrimaryStation directly.
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
void primarySetOffer(const LapOffer& offer);
void primaryInit();
uint8_t primaryIsIdle();
uint8_t primaryIsConnecting();
uint8_t primaryIsConnected();

// Queues the bytes in order as one text. While the IrCOMM channel is open it waits for the engine
// to make room; otherwise bytes that do not fit are dropped (they would be discarded at channel
// open).
void primarySend(const uint8_t* data, uint8_t length);
// Pops every received byte into `buffer` (at least 63 bytes) and returns how many. A data frame
// that does not fit into the queue is refused, and the secondary sends it again later.
uint8_t primaryReceive(uint8_t* buffer);
// For an application that never calls primaryReceive: received data is dropped instead of holding
// up the secondary. Call after primaryInit.
void primaryDiscardReceived();
// For programs that pump the channel themselves: the default station's connection (its phase,
// room, unacknowledged bytes and watch).
LapConnection& primaryConnection();
// The failure that last ended a link; IR_OK when none.
IrErr primaryLastError();

// The service the primary opens (call before primaryInit; the names must outlive the station);
// IR_ERR_ARG when the names do not fit an IAS query.
IrErr primarySetService(const char* className, const char* attribute, int lsap, bool raw);
// Discovery only: each device that answers is kept (up to PRIMARY_DISCOVERED_MAX) and none is
// connected. Call before primaryInit.
void primarySetDiscoverOnly(bool on);
// The index-th device kept; false past the last. Read once the task has stopped.
bool primaryDiscovered(uint8_t index, LapDiscovered& device);

void startStackTask();
// Ends the task and waits for it; the port stays open.
void stopStackTask();
// The task's run flag; a program lowers it to stop the task.
std::atomic<bool>& primaryTaskRunning();

} // namespace primary
