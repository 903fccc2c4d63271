#include "pdu.h"

#include <cstring>

namespace {

constexpr uint8_t LMP_PARAM_NONE = 0x00;
constexpr uint8_t LMP_REASON_USER_REQUEST = 0x01;
constexpr uint8_t COMM_SERVICE_TYPE = 0x00;
constexpr uint8_t COMM_PORT_TYPE = 0x01;
constexpr uint8_t COMM_DATA_RATE = 0x10;
constexpr uint8_t COMM_DATA_FORMAT = 0x11;
constexpr uint8_t COMM_LINE_SETTINGS = 0x20;

bool isIFrame(const uint8_t* frame, uint16_t length) {
    return length >= 2 && (frame[1] & 1) == 0;
}

uint16_t putData(uint8_t* destination, uint16_t offset, const uint8_t* data, uint16_t count) {
    if (count > 0) {
        std::memcpy(destination + offset, data, count);
    }
    return static_cast<uint16_t>(offset + count);
}

} // namespace

void lmpPutLsapsCommand(uint8_t* destination, uint8_t remote, uint8_t ownLsap) {
    destination[2] = remote;
    destination[3] = ownLsap;
}

void lmpPutLsapsResponse(uint8_t* destination, uint8_t remote, uint8_t ownLsap) {
    destination[2] = remote;
    destination[3] = ownLsap;
}

void ttpPutCredit(uint8_t* destination) {
    destination[4] = TTP_CREDIT_ONE;
}

uint16_t iasPutName(uint8_t* destination, const char* name) {
    // The length travels in one byte; a longer name is cut rather than mis-framed.
    const size_t full = std::strlen(name);
    const auto length = static_cast<uint8_t>(full > 255 ? 255 : full);
    destination[0] = length;
    std::memcpy(destination + 1, name, length);
    return static_cast<uint16_t>(length + 1);
}

uint8_t* commPutParam(uint8_t* destination, uint8_t pi, uint8_t value) {
    destination[0] = pi;
    destination[1] = 1;
    destination[2] = value;
    return destination + 3;
}

uint8_t* commPutParam32(uint8_t* destination, uint8_t pi, uint32_t value) {
    destination[0] = pi;
    destination[1] = 4;
    destination[2] = static_cast<uint8_t>(value >> 24);
    destination[3] = static_cast<uint8_t>(value >> 16);
    destination[4] = static_cast<uint8_t>(value >> 8);
    destination[5] = static_cast<uint8_t>(value);
    return destination + 6;
}

uint16_t commBuildInitialParams(uint8_t* destination) {
    uint8_t* position = destination;
    position = commPutParam(position, COMM_SERVICE_TYPE, 0x04); // 9-wire
    position = commPutParam(position, COMM_PORT_TYPE, 0x01);    // serial
    position = commPutParam32(position, COMM_DATA_RATE, 9600);
    position = commPutParam(position, COMM_DATA_FORMAT, 0x03); // 8N1
    commPutParam(position, COMM_LINE_SETTINGS, 0x0C);          // DTR and RTS on
    return COMM_INITIAL_PARAMS_LENGTH;
}

uint16_t commBuildLineSettings(uint8_t* destination) {
    commPutParam(destination, COMM_LINE_SETTINGS, 0x0C);
    return COMM_LINE_SETTINGS_LENGTH;
}

uint16_t lmpBuildConnectIas(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap) {
    lapPutIHeaderCommand(destination, link);
    lmpPutLsapsCommand(destination, LMP_CONTROL | IAS_LSAP, ownLsap);
    destination[4] = LMP_CONNECT;
    destination[5] = LMP_PARAM_NONE;
    return 6;
}

uint16_t lmpBuildDisconnectIas(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap) {
    lapPutIHeaderCommand(destination, link);
    lmpPutLsapsCommand(destination, LMP_CONTROL | IAS_LSAP, ownLsap);
    destination[4] = LMP_DISCONNECT;
    destination[5] = LMP_REASON_USER_REQUEST;
    return 6;
}

uint16_t iasBuildQuery(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                       const char* className, const char* attributeName) {
    lapPutIHeaderCommand(destination, link);
    lmpPutLsapsCommand(destination, IAS_LSAP, ownLsap);
    destination[4] = IAS_GET_VALUE_BY_CLASS;
    uint16_t length = 5;
    length = static_cast<uint16_t>(length + iasPutName(destination + length, className));
    length = static_cast<uint16_t>(length + iasPutName(destination + length, attributeName));
    return length;
}

uint16_t ttpBuildConnect(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                         uint8_t remote) {
    lapPutIHeaderCommand(destination, link);
    lmpPutLsapsCommand(destination, static_cast<uint8_t>(remote | LMP_CONTROL), ownLsap);
    destination[4] = LMP_CONNECT;
    destination[5] = LMP_PARAM_NONE;
    destination[6] = TTP_CREDIT_ONE;
    return 7;
}

uint16_t ttpBuildCreditCommand(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                               uint8_t remote) {
    lapPutIHeaderCommand(destination, link);
    lmpPutLsapsCommand(destination, remote, ownLsap);
    ttpPutCredit(destination);
    return 5;
}

uint16_t commBuildParamsFrame(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                              uint8_t remote) {
    lapPutIHeaderCommand(destination, link);
    lmpPutLsapsCommand(destination, remote, ownLsap);
    ttpPutCredit(destination);
    destination[5] = static_cast<uint8_t>(COMM_INITIAL_PARAMS_LENGTH);
    return static_cast<uint16_t>(6 + commBuildInitialParams(destination + 6));
}

uint16_t commBuildDataCommand(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                              uint8_t remote, const uint8_t* data, uint16_t count) {
    lapPutIHeaderCommand(destination, link);
    lmpPutLsapsCommand(destination, remote, ownLsap);
    ttpPutCredit(destination);
    destination[5] = 0;
    return putData(destination, 6, data, count);
}

uint16_t ttpBuildDataCommand(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                             uint8_t remote, const uint8_t* data, uint16_t count) {
    lapPutIHeaderCommand(destination, link);
    lmpPutLsapsCommand(destination, remote, ownLsap);
    ttpPutCredit(destination);
    return putData(destination, TTP_DATA_OFFSET, data, count);
}

uint16_t lmpBuildConnectConfirm(uint8_t* destination, const LinkRecord& link, uint8_t dlsap,
                                uint8_t slsap) {
    lapPutIHeaderResponse(destination, link);
    lmpPutLsapsResponse(destination, static_cast<uint8_t>(dlsap | LMP_CONTROL), slsap);
    destination[4] = LMP_CONNECT_CONFIRM;
    destination[5] = LMP_PARAM_NONE;
    return 6;
}

uint16_t ttpBuildConnectConfirm(uint8_t* destination, const LinkRecord& link, uint8_t dlsap,
                                uint8_t slsap) {
    lmpBuildConnectConfirm(destination, link, dlsap, slsap);
    destination[6] = TTP_CREDIT_ONE;
    return 7;
}

uint16_t iasBuildResponse(uint8_t* destination, const LinkRecord& link, uint8_t dlsap,
                          uint8_t slsap, const uint8_t* result, uint8_t count) {
    lapPutIHeaderResponse(destination, link);
    lmpPutLsapsResponse(destination, dlsap, slsap);
    destination[4] = IAS_GET_VALUE_BY_CLASS;
    return putData(destination, 5, result, count);
}

uint16_t ttpBuildCreditResponse(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                                uint8_t remote) {
    lapPutIHeaderResponse(destination, link);
    lmpPutLsapsResponse(destination, remote, ownLsap);
    ttpPutCredit(destination);
    return 5;
}

uint16_t commBuildDataResponse(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                               uint8_t remote, bool lineSettings, const uint8_t* data,
                               uint16_t count) {
    lapPutIHeaderResponse(destination, link);
    lmpPutLsapsResponse(destination, remote, ownLsap);
    ttpPutCredit(destination);
    destination[5] =
        lineSettings ? static_cast<uint8_t>(commBuildLineSettings(destination + 6)) : 0;
    return putData(destination, static_cast<uint16_t>(6 + destination[5]), data, count);
}

uint16_t ttpBuildDataResponse(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                              uint8_t remote, const uint8_t* data, uint16_t count) {
    lapPutIHeaderResponse(destination, link);
    lmpPutLsapsResponse(destination, remote, ownLsap);
    ttpPutCredit(destination);
    return putData(destination, TTP_DATA_OFFSET, data, count);
}

uint16_t lmpBuildDisconnect(uint8_t* destination, const LinkRecord& link, bool command,
                            uint8_t ownLsap, uint8_t remote) {
    if (command) {
        lapPutIHeaderCommand(destination, link);
    } else {
        lapPutIHeaderResponse(destination, link);
    }
    destination[2] = static_cast<uint8_t>(remote | LMP_CONTROL);
    destination[3] = ownLsap;
    destination[4] = LMP_DISCONNECT;
    destination[5] = LMP_REASON_USER_REQUEST;
    return 6;
}

uint8_t lmpIsConnectConfirm(const uint8_t* frame, uint16_t length) {
    return isIFrame(frame, length) && length >= 5 && frame[4] == LMP_CONNECT_CONFIRM ? 1 : 0;
}

uint8_t iasIsResponse(const uint8_t* frame, uint16_t length) {
    return isIFrame(frame, length) && length >= 5 && frame[4] == IAS_GET_VALUE_BY_CLASS ? 1 : 0;
}

uint8_t ttpIsConnect(const uint8_t* frame, uint16_t length) {
    return isIFrame(frame, length) && length >= 7 && (frame[4] & 0x7F) == LMP_CONNECT ? 1 : 0;
}

uint8_t commIsDataFrame(const uint8_t* frame, uint16_t length) {
    return isIFrame(frame, length) && length >= 6 && frame[5] <= COMM_MAX_PARAM_LENGTH &&
                   frame[5] <= length - 6
               ? 1
               : 0;
}

uint8_t iasParseLsapSel(const uint8_t* answer, uint16_t count, uint16_t& value) {
    if (count < 1 || answer[0] != 0) {
        return 0; // missing or failed return code
    }
    if (count < 3 || (answer[1] == 0 && answer[2] == 0)) {
        return 0; // no results
    }
    if (count < 10 || answer[5] != 1) {
        return 0; // first result is not an integer
    }
    if (answer[6] != 0 || answer[7] != 0) {
        return 0; // beyond 16 bits
    }
    value = static_cast<uint16_t>((answer[8] << 8) | answer[9]);
    return 1;
}

namespace {

uint16_t getU16(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

// One entry at `at`; false, storing nothing, when it runs past the answer.
bool iasParseEntry(std::span<const uint8_t> answer, size_t& at, IasValue& value) {
    const size_t left = answer.size() - at;
    if (left < 3) {
        return false;
    }
    const uint8_t* entry = &answer[at];
    IasValue parsed;
    parsed.objectId = getU16(entry);
    parsed.type = entry[2];
    size_t used = 3;
    switch (parsed.type) {
    case IAS_MISSING:
        break;
    case IAS_INTEGER:
        if (left < used + 4) {
            return false;
        }
        parsed.integer =
            static_cast<int32_t>((uint32_t{entry[3]} << 24) | (uint32_t{entry[4]} << 16) |
                                 (uint32_t{entry[5]} << 8) | entry[6]);
        used += 4;
        break;
    case IAS_OCTETS: {
        if (left < used + 2 || left - used - 2 < getU16(&entry[3])) {
            return false;
        }
        const uint16_t length = getU16(&entry[3]);
        parsed.bytes = answer.subspan(at + used + 2, length);
        used += 2 + length;
        break;
    }
    case IAS_STRING: {
        if (left < used + 2 || left - used - 2 < entry[4]) {
            return false;
        }
        parsed.charset = entry[3];
        parsed.bytes = answer.subspan(at + used + 2, entry[4]);
        used += 2 + entry[4];
        break;
    }
    default:
        return false; // its length cannot be known
    }
    value = parsed;
    at += used;
    return true;
}

} // namespace

IasAnswer iasParseValues(std::span<const uint8_t> answer, std::span<IasValue> values) {
    IasAnswer result;
    if (answer.empty()) {
        return result;
    }
    result.coded = true;
    result.code = answer[0];
    if (result.code != 0 || answer.size() < 3) {
        return result;
    }
    result.announced = getU16(&answer[1]);
    size_t at = 3;
    while (result.stored < result.announced && result.stored < values.size() &&
           iasParseEntry(answer, at, values[result.stored])) {
        ++result.stored;
    }
    return result;
}
