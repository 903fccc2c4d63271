#include <array>
#include <cstring>
#include <mutex>

#include "console.h"
#include "pdu.h"
#include "secondary.h"
#include "secondary_internal.h"

namespace secondary {

uint8_t peerComLsap = 0;
std::array<uint8_t, FULL_STAGING_SIZE> staging{};
std::atomic<uint8_t> stagedCount{0};

namespace {

// Set before the task starts.
const char* serviceClass = IAS_CLASS_IRCOMM;
const char* serviceAttribute = IAS_ATTR_LSAP_SEL;
bool serviceRaw = false;
// Names a program gave must match whole: a query for a mere leading part of one is another
// service. The built-in names keep their lenient match.
bool namesExact = false;

constexpr uint8_t LM_CONNECT_LENGTH = 6;
constexpr uint8_t TTP_PARAMETERS_BIT = 0x80;
constexpr uint8_t IRCOMM_LSAP = OWN_LSAP;
// IrCOMM header, line settings and a full staging of data.
static_assert(6 + COMM_LINE_SETTINGS_LENGTH + SECONDARY_STAGING_SIZE <= SECONDARY_TX_FRAME_SIZE &&
                  6 + FULL_STAGING_SIZE <= SECONDARY_TX_FRAME_SIZE,
              "the longest reply fits the transmit frame");

// User bytes one data frame may carry: the fixed profile's, or what the agreed data size leaves
// beside the line settings.
uint16_t frameDataLimit(bool lineSettings) {
    if (!linkOffer.negotiates) {
        return SECONDARY_STAGING_SIZE;
    }
    const uint16_t settings = lineSettings ? COMM_LINE_SETTINGS_LENGTH : 0;
    const uint16_t limit = linkTerms.dataSize - COMM_DATA_OVERHEAD - settings;
    return limit < FULL_STAGING_SIZE ? limit : FULL_STAGING_SIZE;
}

constexpr std::array<uint8_t, 11> IAS_RESULT_PARAMETERS = {0x00, 0x00, 0x01, 0x00, 0x01, 0x02,
                                                           0x00, 0x03, 0x00, 0x01, 0x04};
constexpr std::array<uint8_t, 10> IAS_RESULT_LSAP_SEL = {0x00, 0x00, 0x01, 0x00, 0x01,
                                                         0x01, 0x00, 0x00, 0x00, IRCOMM_LSAP};
constexpr std::array<uint8_t, 1> IAS_RESULT_NO_ATTRIBUTE = {0x02};
constexpr std::array<uint8_t, 1> IAS_RESULT_NO_CLASS = {0x01};

// Bounded comparison over at most `count` received bytes, stopping at the end of `reference`:
// a leading part of the reference (or an empty name) matches.
bool iasNameMatches(const char* reference, const uint8_t* name, uint8_t count) {
    for (uint8_t i = 0; i < count; ++i) {
        const auto expected = static_cast<uint8_t>(reference[i]);
        if (expected != name[i]) {
            return false;
        }
        if (expected == 0) {
            return true;
        }
    }
    return true;
}

bool serviceNameMatches(const char* reference, const uint8_t* name, uint8_t count) {
    if (namesExact && std::strlen(reference) != count) {
        return false;
    }
    return iasNameMatches(reference, name, count);
}

// Empties both queues for a new channel; under the producers' lock, so the clear never cuts a
// text being queued, and the reader's, so it never pops from a queue being cleared.
void openChannel() {
    const std::scoped_lock guard(receiveLock, transmitLock);
    engineState = SEC_IRCOMM_OPEN;
    receiveQueue.clear(&receiveQueue);
    transmitQueue.clear(&transmitQueue);
}

void handleLmControl(const uint8_t* frame, uint16_t length) {
    if (length < 5) {
        return; // no opcode
    }
    const uint8_t dlsap = frame[3];
    const auto slsap = static_cast<uint8_t>(frame[2] & 0x7F);
    if (frame[4] == LMP_CONNECT) {
        if (length == LM_CONNECT_LENGTH) {
            secondarySendTx(lmpBuildConnectConfirm(txFrame.data(), linkRecord, dlsap, slsap));
            engineState = SEC_LM_CONNECTED;
        } else if (length > LM_CONNECT_LENGTH && (frame[6] & TTP_PARAMETERS_BIT) == 0) {
            peerComLsap = static_cast<uint8_t>(dlsap & 0x7F);
            secondarySendTx(ttpBuildConnectConfirm(txFrame.data(), linkRecord, dlsap, slsap));
            engineState = SEC_TTP_CONNECTED;
            if (serviceRaw) {
                openChannel(); // no IrCOMM parameters to wait for
            }
        }
        // TinyTP parameters are not served, and a connect without its parameter byte is not
        // a connect: no reply either way.
    } else if (frame[4] == LMP_DISCONNECT) {
        lapSendRrResponse(secondaryLink(), linkRecord);
        engineState = SEC_LINKED;
    }
}

void handleIas(const uint8_t* frame, uint16_t length) {
    if (length < 5 || frame[4] != IAS_GET_VALUE_BY_CLASS) {
        return;
    }
    const uint8_t* result = IAS_RESULT_NO_CLASS.data();
    uint8_t count = IAS_RESULT_NO_CLASS.size();
    // A name whose length runs past the frame is not a name of ours: "no such class".
    const uint16_t classEnd = length >= 6 ? static_cast<uint16_t>(6 + frame[5]) : 0xFFFF;
    if (classEnd < length && serviceNameMatches(serviceClass, &frame[6], frame[5])) {
        const uint8_t attributeLength = frame[classEnd];
        const uint8_t* attribute = &frame[classEnd + 1];
        if (classEnd + 1 + attributeLength > length) {
            // attribute runs past the frame: answered as no such class
        } else if (iasNameMatches(IAS_ATTR_PARAMETERS, attribute, attributeLength)) {
            result = IAS_RESULT_PARAMETERS.data();
            count = IAS_RESULT_PARAMETERS.size();
        } else if (serviceNameMatches(serviceAttribute, attribute, attributeLength)) {
            result = IAS_RESULT_LSAP_SEL.data();
            count = IAS_RESULT_LSAP_SEL.size();
        } else {
            result = IAS_RESULT_NO_ATTRIBUTE.data();
            count = IAS_RESULT_NO_ATTRIBUTE.size();
        }
    }
    secondarySendTx(iasBuildResponse(txFrame.data(), linkRecord, frame[3] & 0x7F, frame[2] & 0x7F,
                                     result, count));
}

void handleIrComm(const uint8_t* frame, uint16_t length) {
    // Also refuses a control-parameter length that runs past the frame.
    const bool valid = serviceRaw ? length >= TTP_DATA_OFFSET && engineState == SEC_IRCOMM_OPEN
                                  : commIsDataFrame(frame, length) != 0;
    if (!valid) {
        return;
    }
    if (engineState != SEC_IRCOMM_OPEN) {
        openChannel();
    }
    const uint8_t paramLength = serviceRaw ? 0 : frame[5];
    const bool hasParams = paramLength != 0;
    const uint16_t dataStart = serviceRaw ? TTP_DATA_OFFSET : 6 + paramLength;
    const auto dataLength = static_cast<uint8_t>(length - dataStart);
    const auto peer = static_cast<uint8_t>(frame[3] & 0x7F);
    if (byteQueueRoom(&receiveQueue) < dataLength) {
        lapRefuseIFrame(linkRecord);
        secondaryAnswerPoll(peer);
        return;
    }
    consolePrint("\nIrCOMM length:\t%d:%d", paramLength, dataLength);
    const uint8_t* data = &frame[dataStart];
    for (uint8_t i = 0; i < dataLength; ++i) {
        receiveQueue.push(&receiveQueue, data[i]);
    }
    if (dataLength > 0) {
        lapWatchDelivered(linkWatch);
    }
    if (held.awaitingAck) {
        secondaryAnswerPoll(peer); // our last frame again before anything new
    } else if (transmitQueue.isEmpty(&transmitQueue) == 0) {
        secondarySendPending(peer, hasParams);
    } else if (hasParams) {
        secondarySendTx(
            commBuildDataResponse(txFrame.data(), linkRecord, OWN_LSAP, peer, true, nullptr, 0));
    } else {
        lapSendRrResponse(secondaryLink(), linkRecord);
    }
}

} // namespace

void secondaryHandleIFrame(const uint8_t* frame, uint16_t length) {
    if (length < 3) {
        return; // no LM-MUX header
    }
    if ((frame[2] & LMP_CONTROL) != 0) {
        handleLmControl(frame, length);
    } else if (frame[2] == IAS_LSAP) {
        handleIas(frame, length);
    } else if (frame[2] == IRCOMM_LSAP) {
        handleIrComm(frame, length);
    }
    // Data for any other selector: no reply.
}

uint8_t secondaryAllAcknowledged() {
    // The queue first: the engine marks the data unacknowledged before it pops it.
    const bool drained = transmitQueue.isEmpty(&transmitQueue) != 0;
    return drained && !dataUnacknowledged ? 1 : 0;
}

void secondarySendPending(uint8_t dlsap, bool lineSettings) {
    // Before the pop, so that no reader sees the queue empty and the data acknowledged.
    dataUnacknowledged = true;
    stagedCount = 0;
    const uint16_t limit = frameDataLimit(lineSettings);
    while (transmitQueue.isEmpty(&transmitQueue) == 0 && stagedCount < limit) {
        staging[stagedCount] = transmitQueue.pop(&transmitQueue);
        ++stagedCount;
    }
    if (serviceRaw) {
        secondarySendTx(ttpBuildDataResponse(txFrame.data(), linkRecord, OWN_LSAP, dlsap,
                                             staging.data(), stagedCount));
    } else {
        secondarySendTx(commBuildDataResponse(txFrame.data(), linkRecord, OWN_LSAP, dlsap,
                                              lineSettings, staging.data(), stagedCount));
    }
}

void secondarySetService(const char* className, const char* attribute, bool raw) {
    serviceClass = className != nullptr ? className : IAS_CLASS_IRCOMM;
    serviceAttribute = attribute != nullptr ? attribute : IAS_ATTR_LSAP_SEL;
    serviceRaw = raw;
    namesExact = className != nullptr || attribute != nullptr;
}

} // namespace secondary
