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

} // namespace

IrErr SecondaryStation::setService(const char* className, const char* attribute, bool raw) {
    const IrErr result = ias.setFirst(className, attribute);
    if (result == IR_OK) {
        serviceRaw = raw;
    }
    return result;
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
    const IasReply reply = ias.answer(frame, length, paced());
    if (reply.kind == IAS_REPLY_NONE) {
        return;
    }
    std::array<uint8_t, IAS_DEVICE_RESULT_SIZE> deviceName{};
    const std::span<const uint8_t> result =
        reply.kind == IAS_REPLY_DEVICE_NAME
            ? std::span<const uint8_t>(deviceName.data(), putDeviceName(deviceName))
            : reply.result;
    sendTx(iasBuildResponse(link.tx.data(), link.record, frame[3] & 0x7F, frame[2] & 0x7F,
                            result.data(), static_cast<uint8_t>(result.size())));
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
