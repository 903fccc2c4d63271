// The layers above the secondary's link: LM-MUX connects, the IAS server and IrCOMM (or raw
// TinyTP) data.
#include <algorithm>
#include <cstring>

#include "console.h"
#include "discovery.h"
#include "pdu.h"
#include "secondary_station.h"

namespace secondary {

namespace {

constexpr uint8_t LM_CONNECT_LENGTH = 6;
constexpr uint8_t TTP_PARAMETERS_BIT = 0x80;
constexpr uint8_t IRCOMM_LSAP = OWN_LSAP;
// IrCOMM header, line settings and a full staging of data.
static_assert(6 + COMM_LINE_SETTINGS_LENGTH + FIXED_STAGING_SIZE <= LAP_TX_FRAME_SIZE &&
                  6 + FULL_STAGING_SIZE <= LAP_TX_FRAME_SIZE,
              "the longest reply fits the transmit frame");

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

bool nameIsExactly(const char* reference, const uint8_t* name, uint8_t count) {
    return std::strlen(reference) == count && std::memcmp(reference, name, count) == 0;
}

void copyName(std::array<char, IAS_NAMES_MAX + 1>& to, const char* name) {
    const size_t length = std::strlen(name);
    std::memcpy(to.data(), name, length);
    to[length] = '\0';
}

} // namespace

IrErr SecondaryStation::setService(const char* className, const char* attribute, bool raw) {
    const char* const classToUse = className != nullptr ? className : IAS_CLASS_IRCOMM;
    const char* const attributeToUse = attribute != nullptr ? attribute : IAS_ATTR_LSAP_SEL;
    // Both names go into one query; the station keeps copies, so the caller's may go.
    if (std::strlen(classToUse) + std::strlen(attributeToUse) > IAS_NAMES_MAX) {
        return IR_ERR_ARG;
    }
    copyName(serviceClass, classToUse);
    copyName(serviceAttribute, attributeToUse);
    serviceRaw = raw;
    namesExact = className != nullptr || attribute != nullptr;
    return IR_OK;
}

bool SecondaryStation::serviceNameMatches(const char* reference, const uint8_t* name,
                                          uint8_t count) const {
    if (namesExact && std::strlen(reference) != count) {
        return false;
    }
    return iasNameMatches(reference, name, count);
}

void SecondaryStation::handleLmControl(const uint8_t* frame, uint16_t length) {
    if (length < 5) {
        return; // no opcode
    }
    const uint8_t dlsap = frame[3];
    const auto slsap = static_cast<uint8_t>(frame[2] & 0x7F);
    if (frame[4] == LMP_CONNECT) {
        if (length == LM_CONNECT_LENGTH) {
            sendTx(lmpBuildConnectConfirm(link.tx.data(), link.record, dlsap, slsap));
            setState(SEC_LM_CONNECTED);
        } else if (length > LM_CONNECT_LENGTH && (frame[6] & TTP_PARAMETERS_BIT) == 0) {
            peerComLsap = static_cast<uint8_t>(dlsap & 0x7F);
            sendTx(ttpBuildConnectConfirm(link.tx.data(), link.record, dlsap, slsap));
            // No IrCOMM parameters to wait for in the raw service.
            setState(serviceRaw ? SEC_IRCOMM_OPEN : SEC_TTP_CONNECTED);
        }
        // TinyTP parameters are not served, and a connect without its parameter byte is not
        // a connect: no reply either way.
    } else if (frame[4] == LMP_DISCONNECT) {
        sendRr();
        setState(SEC_LINKED);
    }
}

uint8_t SecondaryStation::putDeviceName(std::span<uint8_t, IAS_DEVICE_RESULT_SIZE> result) const {
    LapDiscovered own;
    std::array<uint8_t, LAP_DISCOVERY_INFO_SIZE + 1> info{};
    own.infoLength = static_cast<uint8_t>(putDiscoveryInfo(info.data()));
    std::copy_n(info.begin(), std::min<size_t>(own.infoLength, own.info.size()), own.info.begin());
    std::array<char, LAP_DISCOVERY_INFO_SIZE + 1> name{};
    lapNickname(own, name);
    const auto nameLength = static_cast<uint8_t>(strnlen(name.data(), name.size()));
    // Success, one entry: object 0, a user string in ASCII.
    constexpr std::array<uint8_t, 7> HEAD{0x00, 0x00, 0x01, 0x00, 0x00, IAS_STRING, 0x00};
    std::copy(HEAD.begin(), HEAD.end(), result.begin());
    result[HEAD.size()] = nameLength;
    std::copy_n(name.begin(), nameLength, result.begin() + HEAD.size() + 1);
    return static_cast<uint8_t>(HEAD.size() + 1 + nameLength);
}

void SecondaryStation::handleIas(const uint8_t* frame, uint16_t length) {
    if (length < 5 || frame[4] != IAS_GET_VALUE_BY_CLASS) {
        return;
    }
    const auto attributeAt = static_cast<uint16_t>(length >= 6 ? 6 + frame[5] + 1 : length + 1);
    if (paced() && attributeAt <= length && attributeAt + frame[attributeAt - 1] <= length &&
        nameIsExactly(IAS_CLASS_DEVICE, &frame[6], frame[5]) &&
        nameIsExactly(IAS_ATTR_DEVICE_NAME, &frame[attributeAt], frame[attributeAt - 1])) {
        // Every device answers this; only the full profile does here.
        std::array<uint8_t, IAS_DEVICE_RESULT_SIZE> deviceName{};
        const uint8_t count = putDeviceName(deviceName);
        sendTx(iasBuildResponse(link.tx.data(), link.record, frame[3] & 0x7F, frame[2] & 0x7F,
                                deviceName.data(), count));
        return;
    }
    const uint8_t* result = IAS_RESULT_NO_CLASS.data();
    uint8_t count = IAS_RESULT_NO_CLASS.size();
    // A name whose length runs past the frame is not a name of ours: "no such class".
    const uint16_t classEnd = length >= 6 ? static_cast<uint16_t>(6 + frame[5]) : 0xFFFF;
    bool classKnown = false;
    const uint8_t lane = paced() && classEnd < length && classEnd + 1 + frame[classEnd] <= length
                             ? extraServiceFor(&frame[6], frame[5], &frame[classEnd + 1],
                                               frame[classEnd], classKnown)
                             : 0;
    std::array<uint8_t, IAS_RESULT_LSAP_SEL.size()> laneResult = IAS_RESULT_LSAP_SEL;
    if (lane != 0) {
        laneResult.back() = static_cast<uint8_t>(IRCOMM_LSAP + lane);
        result = laneResult.data();
        count = laneResult.size();
    } else if (classEnd < length && serviceNameMatches(serviceClass.data(), &frame[6], frame[5])) {
        const uint8_t attributeLength = frame[classEnd];
        const uint8_t* attribute = &frame[classEnd + 1];
        if (classEnd + 1 + attributeLength > length) {
            // attribute runs past the frame: answered as no such class
        } else if (iasNameMatches(IAS_ATTR_PARAMETERS, attribute, attributeLength)) {
            result = IAS_RESULT_PARAMETERS.data();
            count = IAS_RESULT_PARAMETERS.size();
        } else if (serviceNameMatches(serviceAttribute.data(), attribute, attributeLength)) {
            result = IAS_RESULT_LSAP_SEL.data();
            count = IAS_RESULT_LSAP_SEL.size();
        } else {
            result = IAS_RESULT_NO_ATTRIBUTE.data();
            count = IAS_RESULT_NO_ATTRIBUTE.size();
        }
    } else if (classKnown) {
        result = IAS_RESULT_NO_ATTRIBUTE.data();
        count = IAS_RESULT_NO_ATTRIBUTE.size();
    }
    sendTx(iasBuildResponse(link.tx.data(), link.record, frame[3] & 0x7F, frame[2] & 0x7F, result,
                            count));
}

void SecondaryStation::handleIrComm(const uint8_t* frame, uint16_t length) {
    // Also refuses a control-parameter length that runs past the frame.
    const bool valid = serviceRaw ? length >= TTP_DATA_OFFSET && engineState == SEC_IRCOMM_OPEN
                                  : commIsDataFrame(frame, length) != 0;
    if (!valid) {
        return;
    }
    if (engineState != SEC_IRCOMM_OPEN) {
        setState(SEC_IRCOMM_OPEN);
    }
    const uint8_t paramLength = serviceRaw ? 0 : frame[5];
    const bool hasParams = paramLength != 0;
    const uint16_t dataStart = serviceRaw ? TTP_DATA_OFFSET : 6 + paramLength;
    const auto dataLength = static_cast<uint16_t>(length - dataStart);
    const auto peer = static_cast<uint8_t>(frame[3] & 0x7F);
    if (!link.deliver(&frame[dataStart], dataLength)) {
        link.refuseIFrame();
        answerPoll(peer);
        return;
    }
    consolePrint("\nIrCOMM length:\t%d:%d", paramLength, dataLength);
    if (link.held.awaitingAck) {
        answerPoll(peer); // our last frame again before anything new
    } else if (link.hasData()) {
        sendPending(peer, hasParams);
    } else if (hasParams) {
        sendTx(
            commBuildDataResponse(link.tx.data(), link.record, OWN_LSAP, peer, true, nullptr, 0));
    } else {
        sendRr();
    }
}

void SecondaryStation::handleIFrame(const uint8_t* frame, uint16_t length) {
    if (length < 3) {
        return; // no LM-MUX header
    }
    if (paced()) {
        // Full profile: channels by selector, and every frame answered.
        if ((frame[2] & LMP_CONTROL) != 0) {
            handleLmControlFull(frame, length);
            return;
        }
        if (frame[2] == IAS_LSAP) {
            handleIas(frame, length);
            return;
        }
        if (frame[2] >= IRCOMM_LSAP && frame[2] < IRCOMM_LSAP + MUX_CHANNELS) {
            takeLaneData(static_cast<uint8_t>(frame[2] - IRCOMM_LSAP), frame, length);
        }
        return; // the reply comes with the turn's last frame
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

void SecondaryStation::sendPending(uint8_t dlsap, bool lineSettings) {
    const uint16_t settings = lineSettings ? COMM_LINE_SETTINGS_LENGTH : 0;
    const std::span<const uint8_t> data = link.stage(link.dataLimit(FIXED_STAGING_SIZE, settings));
    const auto count = static_cast<uint16_t>(data.size());
    if (serviceRaw) {
        sendTx(
            ttpBuildDataResponse(link.tx.data(), link.record, OWN_LSAP, dlsap, data.data(), count));
    } else {
        sendTx(commBuildDataResponse(link.tx.data(), link.record, OWN_LSAP, dlsap, lineSettings,
                                     data.data(), count));
    }
}

} // namespace secondary
