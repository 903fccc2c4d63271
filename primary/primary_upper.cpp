#include "primary_upper.h"

#include "console.h"
#include "pdu.h"
#include "primary.h"
#include "primary_engine.h"

namespace primary {

uint8_t peerComLsap = 0;
ByteQueue transmitQueue{};
ByteQueue receiveQueue{};
std::array<uint8_t, FULL_STAGING_SIZE> staging{};
std::atomic<uint8_t> stagedCount{0};
std::mutex transmitLock;
std::mutex receiveLock;
uint32_t channelOpenings = 0;
std::atomic<bool> dataUnacknowledged{false};
std::atomic<bool> discardReceived{false};

namespace {

std::array<uint8_t, FULL_QUEUE_SIZE> transmitStorage{};
std::array<uint8_t, FULL_QUEUE_SIZE> receiveStorage{};

constexpr uint16_t COMM_HEADER_LENGTH = 6;
constexpr uint16_t IAS_ANSWER_OFFSET = 5;
static_assert(COMM_HEADER_LENGTH + FULL_STAGING_SIZE <= PRIMARY_FRAME_SIZE,
              "a data frame with a full staging fits the transmit frame");

// User bytes one data frame may carry: the fixed profile's, or what the agreed data size leaves.
uint16_t frameDataLimit() {
    if (!linkOffer.negotiates) {
        return PRIMARY_STAGING_SIZE;
    }
    const uint16_t limit = linkTerms.dataSize - COMM_DATA_OVERHEAD;
    return limit < FULL_STAGING_SIZE ? limit : FULL_STAGING_SIZE;
}

// Puts the user data of the IrCOMM frame in rxFrame into the receive queue; false, taking nothing,
// when it does not fit.
bool takeData(uint16_t length) {
    const uint16_t start = serviceRaw ? TTP_DATA_OFFSET : COMM_HEADER_LENGTH + rxFrame[5];
    const auto dataLength = static_cast<uint8_t>(length - start);
    const bool discard = discardReceived.load();
    if (!discard && byteQueueRoom(&receiveQueue) < dataLength) {
        return false;
    }
    if (serviceRaw) {
        consolePrint("\nTinyTP length:\t%d", dataLength);
    } else {
        primaryShowCommLengths(length);
    }
    for (uint16_t i = 0; i < dataLength && !discard; ++i) {
        receiveQueue.push(&receiveQueue, rxFrame[start + i]);
    }
    if (!discard && dataLength > 0) {
        lapWatchDelivered(linkWatch);
    }
    return true;
}

} // namespace

void primaryInitQueues() {
    discardReceived.store(false);
    dataUnacknowledged.store(false);
    byteQueueSetUp(receiveQueue, receiveStorage, lapQueueSize(linkOffer, PRIMARY_RECEIVE_SIZE),
                   receiveLock);
    byteQueueSetUp(transmitQueue, transmitStorage, lapQueueSize(linkOffer, PRIMARY_TRANSMIT_SIZE),
                   transmitLock);
}

void primaryDiscardReceived() {
    discardReceived.store(true);
}

uint8_t primaryAllAcknowledged() {
    // The queue first: the engine marks the data unacknowledged before it pops it.
    const bool drained = transmitQueue.isEmpty(&transmitQueue) != 0;
    return drained && !dataUnacknowledged.load() ? 1 : 0;
}

void primarySendIasConnect() {
    primarySendHeld(lmpBuildConnectIas(txFrame.data(), linkRecord, OWN_LSAP));
}

void primarySendIasQuery() {
    primarySendHeld(
        iasBuildQuery(txFrame.data(), linkRecord, OWN_LSAP, serviceClass, serviceAttribute));
}

bool primaryTakeIasAnswer(uint16_t length) {
    if (length < IAS_ANSWER_OFFSET) {
        return false;
    }
    const uint8_t code = length > IAS_ANSWER_OFFSET ? rxFrame[IAS_ANSWER_OFFSET] : 0;
    if (code == IAS_NO_SUCH_CLASS || code == IAS_NO_SUCH_ATTRIBUTE) {
        // The query is repeated and the link given up as for no answer; the user must know why.
        consoleError("device has no service %s %s", serviceClass, serviceAttribute);
        return false;
    }
    uint16_t value = 0;
    if (iasParseLsapSel(&rxFrame[IAS_ANSWER_OFFSET], length - IAS_ANSWER_OFFSET, value) == 0) {
        return false;
    }
    consolePrint("\nIrLMP dlsap:\t%d", value);
    peerComLsap = static_cast<uint8_t>(value & 0xFF);
    return true;
}

void primarySendIasDisconnect() {
    primarySendHeld(lmpBuildDisconnectIas(txFrame.data(), linkRecord, OWN_LSAP));
}

void primarySendCommConnect() {
    primarySendHeld(ttpBuildConnect(txFrame.data(), linkRecord, OWN_LSAP, peerComLsap));
}

void primarySendCommParams() {
    primarySendHeld(commBuildParamsFrame(txFrame.data(), linkRecord, OWN_LSAP, peerComLsap));
}

bool primaryIsCommFrame(uint16_t length) {
    if (serviceRaw) {
        // Any I-frame of data, not LM-MUX control, on the connection.
        return length >= TTP_DATA_OFFSET && (rxFrame[1] & 1) == 0 &&
               (rxFrame[2] & LMP_CONTROL) == 0;
    }
    return commIsDataFrame(rxFrame.data(), length) != 0 && length >= COMM_HEADER_LENGTH &&
           rxFrame[5] <= length - COMM_HEADER_LENGTH;
}

uint8_t primaryShowCommLengths(uint16_t length) {
    // primaryIsCommFrame has already made sure the control parameters lie inside the frame.
    const uint8_t controlLength = rxFrame[5];
    const auto dataLength = static_cast<uint8_t>(length - COMM_HEADER_LENGTH - controlLength);
    consolePrint("\nIrCOMM length:\t%d:%d", controlLength, dataLength);
    return dataLength;
}

void primaryOpenChannel() {
    const std::scoped_lock guard(receiveLock, transmitLock);
    // Under the lock, so that a text is either queued before the clear or finds the channel open.
    engineState.store(PRIMARY_CONNECTED);
    ++channelOpenings;
    receiveQueue.clear(&receiveQueue);
    transmitQueue.clear(&transmitQueue);
}

bool primaryTakeAnswer(uint16_t length, bool isData, bool inSequence) {
    // A repetition still answers the poll, but its bytes were taken the first time.
    if (!isData || !inSequence) {
        return false;
    }
    if (!takeData(length)) {
        lapRefuseIFrame(linkRecord);
        return false;
    }
    return true;
}

void primarySendNext() {
    if (held.awaitingAck) {
        primaryResendHeld(); // new data would have to take its Ns
        return;
    }
    if (transmitQueue.isEmpty(&transmitQueue) != 0) {
        primarySendRr();
        return;
    }
    // Before the pop, so that no reader sees the queue empty and the data acknowledged.
    dataUnacknowledged.store(true);
    stagedCount = 0;
    const uint16_t limit = frameDataLimit();
    while (stagedCount < limit && transmitQueue.isEmpty(&transmitQueue) == 0) {
        staging[stagedCount] = transmitQueue.pop(&transmitQueue);
        ++stagedCount;
    }
    if (serviceRaw) {
        primarySendHeld(ttpBuildDataCommand(txFrame.data(), linkRecord, OWN_LSAP, peerComLsap,
                                            staging.data(), stagedCount));
    } else {
        primarySendHeld(commBuildDataCommand(txFrame.data(), linkRecord, OWN_LSAP, peerComLsap,
                                             staging.data(), stagedCount));
    }
}

} // namespace primary
