// The primary's IAS queries without a channel: over a lane of the link that is up, or over a link
// of their own that ends once the answer is in.
#include <algorithm>
#include <cstring>

#include "primary_station.h"

namespace primary {

namespace {

constexpr uint16_t IAS_ANSWER_OFFSET = 5;

void copyName(std::array<char, IAS_NAMES_MAX + 1>& to, const char* name) {
    const size_t length = strnlen(name, IAS_NAMES_MAX);
    std::memcpy(to.data(), name, length);
    to[length] = '\0';
}

} // namespace

IrErr PrimaryStation::setQueryOnly(const char* className, const char* attribute) {
    answered.store(false);
    if (className == nullptr || attribute == nullptr) {
        queryOnly = false;
        return IR_OK;
    }
    const size_t classLength = strnlen(className, IAS_NAMES_MAX + 1);
    const size_t attributeLength = strnlen(attribute, IAS_NAMES_MAX + 1);
    if (classLength + attributeLength > IAS_NAMES_MAX) {
        return IR_ERR_ARG;
    }
    // Lane 0's entries are free: the first channel's names are the service's.
    std::memcpy(laneClass[0].data(), className, classLength);
    laneClass[0][classLength] = '\0';
    std::memcpy(laneAttribute[0].data(), attribute, attributeLength);
    laneAttribute[0][attributeLength] = '\0';
    queryOnly = true;
    return IR_OK;
}

int PrimaryStation::addQuery(const char* className, const char* attribute) {
    if (className == nullptr || attribute == nullptr) {
        return -1;
    }
    answered.store(false);
    return addLane(className, attribute, -1, false, true);
}

int PrimaryStation::queryAnswer(std::span<uint8_t> out) {
    if (!answered.load()) {
        return -1;
    }
    const std::lock_guard<std::mutex> hold(answerLock);
    std::copy_n(answer.begin(), std::min<size_t>(answerLength, out.size()), out.begin());
    return answerLength;
}

ChannelInfo PrimaryStation::describeLane(uint8_t lane) {
    ChannelInfo info = mux.describe(lane);
    if (lane >= MUX_CHANNELS) {
        return info;
    }
    const std::lock_guard<std::mutex> hold(laneLock);
    const bool named = lane == 0 ? serviceLsap < 0 : laneAsks[lane];
    if (named) {
        copyName(info.className, lane == 0 ? serviceClass : laneClass[lane].data());
        copyName(info.attribute, lane == 0 ? serviceAttribute : laneAttribute[lane].data());
    }
    return info;
}

void PrimaryStation::keepAnswer(uint16_t length) {
    const std::lock_guard<std::mutex> hold(answerLock);
    const uint16_t count = length > IAS_ANSWER_OFFSET ? length - IAS_ANSWER_OFFSET : 0;
    answerLength = std::min<uint16_t>(count, answer.size());
    std::copy_n(conn.rx.begin() + IAS_ANSWER_OFFSET, answerLength, answer.begin());
}

void PrimaryStation::endQueryLink() {
    // A DISC, so the device need not wait for its give-up; its UA is not waited for.
    const std::array<uint8_t, 2> disc{static_cast<uint8_t>(conn.record.connectionAddress | LAP_CR),
                                      static_cast<uint8_t>(LAP_DISC | LAP_PF)};
    const IrErr result = port.sendFrame(disc.data(), disc.size());
    setState(PRIMARY_START_DELAY);
    if (result != IR_OK) {
        fail(result, "port failed while ending the link");
    }
    answered.store(true);
}

} // namespace primary
