// Upper-layer PDUs carried in I-frames: LM-MUX control, IAS GetValueByClass, TinyTP and IrCOMM.
// Builders write a whole I-frame (IrLAP header first) and return its length.
#pragma once

#include <cstdint>
#include <span>

#include "lap.h"

constexpr uint8_t IAS_LSAP = 0;
constexpr uint8_t LMP_CONTROL = 0x80;
constexpr uint8_t LMP_CONNECT = 0x01;
constexpr uint8_t LMP_CONNECT_CONFIRM = 0x81;
constexpr uint8_t LMP_DISCONNECT = 0x02;
constexpr uint8_t IAS_GET_VALUE_BY_CLASS = 0x84;
constexpr uint8_t TTP_CREDIT_ONE = 0x01;
constexpr uint8_t COMM_MAX_PARAM_LENGTH = 74;
constexpr uint16_t COMM_INITIAL_PARAMS_LENGTH = 18;
constexpr uint16_t COMM_LINE_SETTINGS_LENGTH = 3;

inline constexpr const char IAS_CLASS_IRCOMM[] = "secondary_demo:IrCOMM";
inline constexpr const char IAS_ATTR_LSAP_SEL[] = "secondary_demo:TinyTP:LsapSel";
inline constexpr const char IAS_ATTR_PARAMETERS[] = "Parameters";
// The class every device has, and its attribute holding the device's nickname.
inline constexpr const char IAS_CLASS_DEVICE[] = "Device";
inline constexpr const char IAS_ATTR_DEVICE_NAME[] = "DeviceName";

// `ownLsap` is the station's OWN_LSAP.
void lmpPutLsapsCommand(uint8_t* destination, uint8_t remote, uint8_t ownLsap);
void lmpPutLsapsResponse(uint8_t* destination, uint8_t remote, uint8_t ownLsap);
void ttpPutCredit(uint8_t* destination);
uint16_t iasPutName(uint8_t* destination, const char* name);
uint8_t* commPutParam(uint8_t* destination, uint8_t pi, uint8_t value);
uint8_t* commPutParam32(uint8_t* destination, uint8_t pi, uint32_t value);
uint16_t commBuildInitialParams(uint8_t* destination);
uint16_t commBuildLineSettings(uint8_t* destination);

// Command side (primary).
uint16_t lmpBuildConnectIas(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap);
uint16_t lmpBuildDisconnectIas(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap);
uint16_t iasBuildQuery(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                       const char* className, const char* attributeName);
uint16_t ttpBuildConnect(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                         uint8_t remote);
uint16_t ttpBuildCreditCommand(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                               uint8_t remote);
uint16_t commBuildParamsFrame(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                              uint8_t remote);
uint16_t commBuildDataCommand(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                              uint8_t remote, const uint8_t* data, uint16_t count);
// TinyTP data as it is, for a service that is not IrCOMM: the data follows the credit byte.
constexpr uint16_t TTP_DATA_OFFSET = 5;
uint16_t ttpBuildDataCommand(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                             uint8_t remote, const uint8_t* data, uint16_t count);

// Response side (secondary).
uint16_t lmpBuildConnectConfirm(uint8_t* destination, const LinkRecord& link, uint8_t dlsap,
                                uint8_t slsap);
uint16_t ttpBuildConnectConfirm(uint8_t* destination, const LinkRecord& link, uint8_t dlsap,
                                uint8_t slsap);
uint16_t iasBuildResponse(uint8_t* destination, const LinkRecord& link, uint8_t dlsap,
                          uint8_t slsap, const uint8_t* result, uint8_t count);
uint16_t ttpBuildCreditResponse(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                                uint8_t remote);
uint16_t commBuildDataResponse(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                               uint8_t remote, bool lineSettings, const uint8_t* data,
                               uint16_t count);
uint16_t ttpBuildDataResponse(uint8_t* destination, const LinkRecord& link, uint8_t ownLsap,
                              uint8_t remote, const uint8_t* data, uint16_t count);

// Either side: an LM disconnect of the channel between our `ownLsap` and the peer's `remote`.
uint16_t lmpBuildDisconnect(uint8_t* destination, const LinkRecord& link, bool command,
                            uint8_t ownLsap, uint8_t remote);
// The credit a built TinyTP data or credit PDU grants (the full profile's own count), and that of a
// built TinyTP connect or its confirm.
constexpr uint16_t TTP_CREDIT_OFFSET = 4;
constexpr uint16_t TTP_CONNECT_CREDIT_OFFSET = 6;
inline void ttpSetCredit(uint8_t* frame, uint16_t offset, uint8_t credit) {
    frame[offset] = static_cast<uint8_t>((frame[offset] & 0x80) | (credit & 0x7F));
}

// Tests on a received frame; each requires an I-frame and reads only inside `length`.
uint8_t lmpIsConnectConfirm(const uint8_t* frame, uint16_t length);
uint8_t iasIsResponse(const uint8_t* frame, uint16_t length);
uint8_t ttpIsConnect(const uint8_t* frame, uint16_t length);
// I-frame, length at least 6, control-parameter length at most 74 and within the frame.
uint8_t commIsDataFrame(const uint8_t* frame, uint16_t length);

// `answer` starts at the return code (frame byte 5); `count` is frame length - 5.
uint8_t iasParseLsapSel(const uint8_t* answer, uint16_t count, uint16_t& value);
// The IAS return codes that say the device has no such class or attribute.
constexpr uint8_t IAS_NO_SUCH_CLASS = 1;
constexpr uint8_t IAS_NO_SUCH_ATTRIBUTE = 2;

// A GetValueByClass answer's value list, read whole. An entry's bytes point into the answer.
enum IasType : uint8_t { IAS_MISSING = 0, IAS_INTEGER = 1, IAS_OCTETS = 2, IAS_STRING = 3 };
struct IasValue {
    uint16_t objectId = 0;
    uint8_t type = IAS_MISSING;
    int32_t integer = 0;
    uint8_t charset = 0;
    std::span<const uint8_t> bytes; // an octet sequence or a string as sent
};
struct IasAnswer {
    bool coded = false; // a return code came
    uint8_t code = 0;
    uint16_t announced = 0; // entries the list length gives
    uint16_t stored = 0;    // well-formed entries stored, in order
};
// `answer` starts at the return code. Entries are read until `values` is full or one does not fit
// the answer (an unknown type, a length past its end); nothing outside `answer` is read.
IasAnswer iasParseValues(std::span<const uint8_t> answer, std::span<IasValue> values);
