// The message protocol between irstackd and its clients (the library): one header for both ends,
// a table of message types with their fixed payload layouts, an encoder and a strict decoder.
// irstackd(7) describes the protocol for people who write another client.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// Header: magic "IRSD", version, type, payload length (LE u16), request id (LE u32).
constexpr std::array<uint8_t, 4> IRSD_MAGIC{'I', 'R', 'S', 'D'};
constexpr uint8_t IRSD_VERSION = 1;
constexpr size_t IRSD_HEADER_SIZE = 12;
constexpr size_t IRSD_MSG_MAX = 1024; // header included
constexpr size_t IRSD_PAYLOAD_MAX = IRSD_MSG_MAX - IRSD_HEADER_SIZE;
constexpr size_t IRSD_FIELDS_MAX = 8;

// Bounds of the texts (their lengths travel in one byte, blobs' in two).
constexpr size_t IRSD_PORT_NAME_MAX = 32;
constexpr size_t IRSD_CLASS_MAX = 59; // IRS_NAME_MAX: class and attribute each at most this
constexpr size_t IRSD_NICKNAME_MAX = 32;
constexpr size_t IRSD_ERROR_TEXT_MAX = 63;
constexpr size_t IRSD_IAS_VALUE_MAX = 256;

// Statuses: 0 and the library's IRS_ERR_* values as they are, then the daemon's own.
enum IrsdStatus : int32_t {
    IRSD_OK = 0,
    IRSD_ERR_ARG = -1,
    IRSD_ERR_HANDLE = -2,
    IRSD_ERR_STATE = -3,
    IRSD_ERR_TIMEOUT = -4,
    IRSD_ERR_PORT = -5,
    IRSD_ERR_PORT_LOST = -6,
    IRSD_ERR_PEER_GONE = -7,
    IRSD_ERR_NO_SERVICE = -8,
    IRSD_ERR_IO = -9,
    IRSD_ERR_UNSUPPORTED = -10,
    IRSD_ERR_NO_MEMORY = -11, // also: a limit of the client reached
    IRSD_ERR_ACCESS = -12,    // the peer is neither root nor of the daemon's group
    IRSD_ERR_MALFORMED = -20, // bad magic, a length or field that does not fit, trailing bytes
    IRSD_ERR_VERSION = -21,   // a protocol version the receiver does not speak
    IRSD_ERR_TYPE = -22,      // an unknown type, or one the sender's side never sends
    IRSD_ERR_TOO_LONG = -23,  // a message above IRSD_MSG_MAX
};

// Requests go client to daemon; the reply to request T has type T | IRSD_REPLY.
enum IrsdType : uint8_t {
    IRSD_HELLO = 0x01,
    IRSD_OPEN = 0x02,
    IRSD_PORT_STATUS = 0x03,
    IRSD_DISCOVER = 0x04,
    IRSD_SET_IDENTITY = 0x05,
    IRSD_CONNECT = 0x06,
    IRSD_LISTEN = 0x07,
    IRSD_QUERY = 0x08,
    IRSD_CHANNEL_DESCRIBE = 0x09,
    IRSD_CHANNEL_STATUS = 0x0A,
    IRSD_CHANNEL_CLOSE = 0x0B,
    IRSD_CHANNEL_ABORT = 0x0C,
    IRSD_SET_LINK_LIMITS = 0x0D,
    IRSD_CLOSE_PORT = 0x0E,
    // For irstack-ctl: allowed once HELLO is answered, with the port open or not.
    IRSD_CTL_STATUS = 0x10,
    IRSD_CTL_DEVICES = 0x11,
    // Unasked, request id 0.
    IRSD_EV_CHANNEL_ENDED = 0x40,
    IRSD_EV_PORT_PHASE = 0x41,
    // Parts of a reply, before it, with its request id.
    IRSD_ITEM_DEVICE = 0x50,
    IRSD_ITEM_IAS_VALUE = 0x51,
    IRSD_ITEM_LINK = 0x52,
    IRSD_ITEM_CLIENT = 0x53,
    IRSD_ITEM_CHANNEL = 0x54,
    IRSD_ITEM_SEEN = 0x55,
    IRSD_REPLY = 0x80,
    // The answer to a message the daemon could not take, or to a client it does not serve; the
    // connection ends after it.
    IRSD_ERROR = 0xFF,
};

enum class IrsdKind : uint8_t { U8, U16, U32, I32, TEXT, BLOB };
enum class IrsdFrom : uint8_t { CLIENT, DAEMON };

struct IrsdField {
    IrsdKind kind;
    uint16_t max; // bytes of a TEXT or BLOB
};

struct IrsdLayout {
    uint8_t type;
    IrsdFrom from;
    bool passesFd; // with IRSD_OK in field 0, one descriptor comes with the message
    uint8_t count;
    std::array<IrsdField, IRSD_FIELDS_MAX> fields;
};

// The layout of `type`, or null for a type the protocol does not have.
const IrsdLayout* irsdLayout(uint8_t type);
// Every layout, for tests and tools.
std::span<const IrsdLayout> irsdLayouts();

// Field positions. Every reply has its status (I32) at 0.
enum : uint8_t { IRSD_STATUS = 0 };
enum : uint8_t { IRSD_HELLO_VERSION = 0 };
enum : uint8_t {
    IRSD_HELLO_R_VERSION = 1,
    IRSD_HELLO_R_CHANNELS = 2,
    IRSD_HELLO_R_SERVICES = 3,
    IRSD_HELLO_R_PENDING = 4,
};
enum : uint8_t { IRSD_OPEN_NAME = 0, IRSD_OPEN_ROLE = 1, IRSD_OPEN_MAX_SPEED = 2 };
enum : uint8_t {
    IRSD_PORT_R_PHASE = 1,
    IRSD_PORT_R_PEER = 2,
    IRSD_PORT_R_SPEED = 3,
    IRSD_PORT_R_ERROR = 4,
    IRSD_PORT_R_TEXT = 5,
};
enum : uint8_t { IRSD_DISCOVER_TIMEOUT = 0, IRSD_DISCOVER_MAX = 1 };
enum : uint8_t { IRSD_COUNT_R = 1 }; // devices or values sent before a DISCOVER or QUERY reply
enum : uint8_t { IRSD_IDENTITY_NICKNAME = 0, IRSD_IDENTITY_HINTS = 1 };
// CONNECT, LISTEN and QUERY share the first fields; an empty class means IrCOMM's service.
enum : uint8_t { IRSD_SVC_CLASS = 0, IRSD_SVC_ATTRIBUTE = 1, IRSD_SVC_TIMEOUT = 2 };
enum : uint8_t { IRSD_SVC_MODE = 3, IRSD_CONNECT_LSAP = 4 }; // LSAP -1: by names
enum : uint8_t { IRSD_QUERY_MAX = 3 };
enum : uint8_t { IRSD_CHANNEL_R_ID = 1 };
enum : uint8_t { IRSD_CHANNEL_ID = 0, IRSD_CLOSE_LINGER = 1 }; // channel requests
enum : uint8_t {
    IRSD_DESCRIBE_R_LOCAL = 1,
    IRSD_DESCRIBE_R_PEER = 2,
    IRSD_DESCRIBE_R_MODE = 3,
    IRSD_DESCRIBE_R_CLASS = 4,
    IRSD_DESCRIBE_R_ATTRIBUTE = 5,
};
enum : uint8_t {
    IRSD_CSTATUS_R_OPEN = 1,
    IRSD_CSTATUS_R_AVAILABLE = 2,
    IRSD_CSTATUS_R_ROOM = 3,
    IRSD_CSTATUS_R_UNACKED = 4,
};
enum : uint8_t { IRSD_LIMITS_WINDOW = 0, IRSD_LIMITS_FRAME = 1 };
enum : uint8_t { IRSD_ENDED_CHANNEL = 0, IRSD_ENDED_REASON = 1, IRSD_ENDED_UNACKED = 2 };
enum : uint8_t { IRSD_PHASE_PHASE = 0, IRSD_PHASE_PEER = 1, IRSD_PHASE_SPEED = 2 };
enum : uint8_t { IRSD_DEVICE_ADDRESS = 0, IRSD_DEVICE_HINTS = 1, IRSD_DEVICE_NICKNAME = 2 };
enum : uint8_t {
    IRSD_IAS_TYPE = 0,
    IRSD_IAS_OBJECT = 1,
    IRSD_IAS_INTEGER = 2,
    IRSD_IAS_CHARSET = 3,
    IRSD_IAS_LENGTH = 4,
    IRSD_IAS_BYTES = 5,
};
enum : uint8_t { IRSD_ERROR_R_VERSION = 1 }; // the version the daemon speaks
// CTL_STATUS: one LINK item, a CLIENT item per client that opened the port and a CHANNEL item
// per open channel, then the reply with the port's name and the counts.
enum : uint8_t { IRSD_CTL_R_NAME = 1, IRSD_CTL_R_CLIENTS = 2, IRSD_CTL_R_CHANNELS = 3 };
enum : uint8_t {
    IRSD_LINK_ROLE = 0,
    IRSD_LINK_PHASE = 1,
    IRSD_LINK_PEER = 2,
    IRSD_LINK_SPEED = 3,
    IRSD_LINK_WINDOW = 4,
    IRSD_LINK_FIELD = 5,
    IRSD_LINK_RESENT = 6,
    IRSD_LINK_DAMAGED = 7,
};
enum : uint8_t {
    IRSD_CLIENT_PID = 0,
    IRSD_CLIENT_UID = 1,
    IRSD_CLIENT_CHANNEL_COUNT = 2,
    IRSD_CLIENT_SERVICE_COUNT = 3,
};
enum : uint8_t {
    IRSD_CH_PID = 0,
    IRSD_CH_ID = 1,
    IRSD_CH_LOCAL = 2,
    IRSD_CH_PEER = 3,
    IRSD_CH_CLASS = 4,
    IRSD_CH_SENT = 5,
    IRSD_CH_RECEIVED = 6,
};
// CTL_DEVICES: a SEEN item per device discovery found, then the reply with the count.
enum : uint8_t {
    IRSD_SEEN_ADDRESS = 0,
    IRSD_SEEN_HINTS = 1,
    IRSD_SEEN_NICKNAME = 2,
    IRSD_SEEN_AGO_MS = 3,
};

// A message taken apart: numbers by field position (I32 as its bits), texts and blobs in `arena`.
struct IrsdMsg {
    uint8_t type = 0;
    uint32_t id = 0;
    int fd = -1; // the descriptor passed with it; the holder closes it
    std::array<uint32_t, IRSD_FIELDS_MAX> num{};
    std::array<uint16_t, IRSD_FIELDS_MAX> textAt{};
    std::array<uint16_t, IRSD_FIELDS_MAX> textLength{};
    std::array<uint8_t, IRSD_PAYLOAD_MAX> arena{};
    uint16_t arenaUsed = 0;
};

// Starts `msg` afresh as a message of `type` with request id `id`.
void irsdInit(IrsdMsg& msg, uint8_t type, uint32_t id);
// Field `field` as text (or blob); IRSD_ERR_ARG for a position past the last or when the arena
// is full. The encoder holds the text to its field's bound.
int irsdSetText(IrsdMsg& msg, uint8_t field, std::string_view text);
std::string_view irsdText(const IrsdMsg& msg, uint8_t field);
inline int32_t irsdInt(const IrsdMsg& msg, uint8_t field) {
    return static_cast<int32_t>(msg.num.at(field));
}
inline int32_t irsdStatus(const IrsdMsg& msg) {
    return irsdInt(msg, IRSD_STATUS);
}

// Writes `msg` into `out`; returns its length, or IRSD_ERR_TYPE for a type without a layout,
// IRSD_ERR_ARG for a number or text its field cannot carry, IRSD_ERR_TOO_LONG when `out` is short.
int irsdEncode(const IrsdMsg& msg, std::span<uint8_t> out);
// From the first bytes of a stream: the whole message's length once the header is in, 0 while
// it is not, or IRSD_ERR_MALFORMED, IRSD_ERR_VERSION or IRSD_ERR_TOO_LONG.
int irsdMessageLength(std::span<const uint8_t> head);
// Takes exactly one message apart; IRSD_OK or the status that says what was wrong with it.
int irsdDecode(std::span<const uint8_t> bytes, IrsdMsg& msg);
// The request id in a header, for the error that answers a message that failed to decode.
uint32_t irsdHeaderId(std::span<const uint8_t> head);

// A short text for a status, never null.
const char* irsdStatusText(int status);
