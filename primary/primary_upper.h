// What the primary says and understands above IrLAP: IAS lookup, TinyTP connect, IrCOMM parameters
// and the data exchange between the application's queues and I-frames.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "byte_queue.h"
#include "ir_options.h"

namespace primary {

constexpr uint8_t OWN_LSAP = PRIMARY_OWN_LSAP;

extern uint8_t peerComLsap;
extern ByteQueue transmitQueue;
extern ByteQueue receiveQueue;
extern std::array<uint8_t, FULL_STAGING_SIZE> staging;
// Atomic: a program counts the unacknowledged bytes from its own thread.
extern std::atomic<uint8_t> stagedCount;

// Clears may not coincide with a push or pop on the application side; these locks keep them apart.
extern std::mutex transmitLock;
extern std::mutex receiveLock;
// Counts the openings of the IrCOMM channel; guarded by transmitLock.
extern uint32_t channelOpenings;
// A data frame went out and the secondary has not acknowledged it yet; read by any thread.
extern std::atomic<bool> dataUnacknowledged;
// Set by an application that never reads the receive queue; see primaryDiscardReceived.
extern std::atomic<bool> discardReceived;

void primaryInitQueues();

// The service settings, set before the task starts.
extern const char* serviceClass;
extern const char* serviceAttribute;
extern int serviceLsap; // -1: ask the IAS
extern bool serviceRaw;
extern bool discoverOnly;
// Keeps the device of the XID response in rxFrame (discovery only).
void primaryKeepDiscovered(uint16_t length);
void primaryForgetDiscovered();
// After the link check: the IAS lookup, or the TinyTP connect to the selector given.
void primaryStartService();
// TinyTP connected: the IrCOMM parameters, or (raw) the channel opens at once.
void primaryServiceConnected();

void primarySendIasConnect();
void primarySendIasQuery();
// True (and peerComLsap set) when the IAS answer in rxFrame yields an LSAP selector.
bool primaryTakeIasAnswer(uint16_t length);
void primarySendIasDisconnect();
void primarySendCommConnect();
void primarySendCommParams();
// The IrCOMM data frame test; control parameters reaching past the frame fail it.
bool primaryIsCommFrame(uint16_t length);
// Prints the lengths of the IrCOMM frame in rxFrame and returns its user-data length.
uint8_t primaryShowCommLengths(uint16_t length);
// Enters state 9 and empties both queues in one step as seen from primarySend.
void primaryOpenChannel();
// State 9: takes the data of an IrCOMM frame (when `isData`) that came in sequence; true when it
// did.
bool primaryTakeAnswer(uint16_t length, bool isData, bool inSequence);
// State 9: sends one frame: the unacknowledged data frame again, else a new data frame or an RR.
void primarySendNext();

} // namespace primary
