// The message table and the one encoder and decoder that walk it.
#include "irsd_msg.h"

#include <algorithm>
#include <cstring>

#include "irstack.h"

// The wire carries the library's codes unchanged.
static_assert([] {
    constexpr std::array<std::array<int, 2>, 12> SAME{{
        {IRSD_ERR_ARG, IRS_ERR_ARG},
        {IRSD_ERR_HANDLE, IRS_ERR_HANDLE},
        {IRSD_ERR_STATE, IRS_ERR_STATE},
        {IRSD_ERR_TIMEOUT, IRS_ERR_TIMEOUT},
        {IRSD_ERR_PORT, IRS_ERR_PORT},
        {IRSD_ERR_PORT_LOST, IRS_ERR_PORT_LOST},
        {IRSD_ERR_PEER_GONE, IRS_ERR_PEER_GONE},
        {IRSD_ERR_NO_SERVICE, IRS_ERR_NO_SERVICE},
        {IRSD_ERR_IO, IRS_ERR_IO},
        {IRSD_ERR_UNSUPPORTED, IRS_ERR_UNSUPPORTED},
        {IRSD_ERR_NO_MEMORY, IRS_ERR_NO_MEMORY},
        {IRSD_ERR_ACCESS, IRS_ERR_ACCESS},
    }};
    return std::all_of(SAME.begin(), SAME.end(), [](auto pair) { return pair[0] == pair[1]; });
}());
static_assert(IRSD_CLASS_MAX == IRS_NAME_MAX && IRSD_NICKNAME_MAX + 1 == IRS_NICKNAME_SIZE &&
              IRSD_ERROR_TEXT_MAX + 1 == IRS_ERROR_TEXT_SIZE &&
              IRSD_IAS_VALUE_MAX == IRS_IAS_VALUE_SIZE);

namespace {

constexpr IrsdField U8{IrsdKind::U8, 0};
constexpr IrsdField U16{IrsdKind::U16, 0};
constexpr IrsdField U32{IrsdKind::U32, 0};
constexpr IrsdField I32{IrsdKind::I32, 0};
constexpr IrsdField PORT_NAME{IrsdKind::TEXT, IRSD_PORT_NAME_MAX};
constexpr IrsdField NAME{IrsdKind::TEXT, IRSD_CLASS_MAX};
constexpr IrsdField NICKNAME{IrsdKind::TEXT, IRSD_NICKNAME_MAX};
constexpr IrsdField ERROR_TEXT{IrsdKind::TEXT, IRSD_ERROR_TEXT_MAX};
constexpr IrsdField IAS_BYTES{IrsdKind::BLOB, IRSD_IAS_VALUE_MAX};

constexpr IrsdFrom C = IrsdFrom::CLIENT;
constexpr IrsdFrom D = IrsdFrom::DAEMON;

constexpr uint8_t reply(uint8_t request) {
    return request | IRSD_REPLY;
}

constexpr std::array LAYOUTS{
    IrsdLayout{IRSD_HELLO, C, false, 1, {U8}},
    IrsdLayout{reply(IRSD_HELLO), D, false, 5, {I32, U8, U8, U8, U8}},
    IrsdLayout{IRSD_OPEN, C, false, 3, {PORT_NAME, U8, U32}},
    IrsdLayout{reply(IRSD_OPEN), D, false, 1, {I32}},
    IrsdLayout{IRSD_PORT_STATUS, C, false, 0, {}},
    IrsdLayout{reply(IRSD_PORT_STATUS), D, false, 6, {I32, U8, U32, U32, U32, ERROR_TEXT}},
    IrsdLayout{IRSD_DISCOVER, C, false, 2, {I32, U8}},
    IrsdLayout{reply(IRSD_DISCOVER), D, false, 2, {I32, U8}},
    IrsdLayout{IRSD_SET_IDENTITY, C, false, 2, {NICKNAME, U16}},
    IrsdLayout{reply(IRSD_SET_IDENTITY), D, false, 1, {I32}},
    IrsdLayout{IRSD_CONNECT, C, false, 5, {NAME, NAME, I32, U8, I32}},
    IrsdLayout{reply(IRSD_CONNECT), D, true, 2, {I32, U32}},
    IrsdLayout{IRSD_LISTEN, C, false, 4, {NAME, NAME, I32, U8}},
    IrsdLayout{reply(IRSD_LISTEN), D, true, 2, {I32, U32}},
    IrsdLayout{IRSD_QUERY, C, false, 4, {NAME, NAME, I32, U8}},
    IrsdLayout{reply(IRSD_QUERY), D, false, 2, {I32, U8}},
    IrsdLayout{IRSD_CHANNEL_DESCRIBE, C, false, 1, {U32}},
    IrsdLayout{reply(IRSD_CHANNEL_DESCRIBE), D, false, 6, {I32, U8, U8, U8, NAME, NAME}},
    IrsdLayout{IRSD_CHANNEL_STATUS, C, false, 1, {U32}},
    IrsdLayout{reply(IRSD_CHANNEL_STATUS), D, false, 5, {I32, U8, U32, U32, U32}},
    IrsdLayout{IRSD_CHANNEL_CLOSE, C, false, 2, {U32, I32}},
    IrsdLayout{reply(IRSD_CHANNEL_CLOSE), D, false, 1, {I32}},
    IrsdLayout{IRSD_CHANNEL_ABORT, C, false, 1, {U32}},
    IrsdLayout{reply(IRSD_CHANNEL_ABORT), D, false, 1, {I32}},
    IrsdLayout{IRSD_SET_LINK_LIMITS, C, false, 2, {U8, U16}},
    IrsdLayout{reply(IRSD_SET_LINK_LIMITS), D, false, 1, {I32}},
    IrsdLayout{IRSD_CLOSE_PORT, C, false, 0, {}},
    IrsdLayout{reply(IRSD_CLOSE_PORT), D, false, 1, {I32}},
    IrsdLayout{IRSD_CTL_STATUS, C, false, 0, {}},
    IrsdLayout{reply(IRSD_CTL_STATUS), D, false, 4, {I32, PORT_NAME, U8, U8}},
    IrsdLayout{IRSD_CTL_DEVICES, C, false, 0, {}},
    IrsdLayout{reply(IRSD_CTL_DEVICES), D, false, 2, {I32, U8}},
    IrsdLayout{IRSD_EV_CHANNEL_ENDED, D, false, 3, {U32, I32, U32}},
    IrsdLayout{IRSD_EV_PORT_PHASE, D, false, 3, {U8, U32, U32}},
    IrsdLayout{IRSD_ITEM_DEVICE, D, false, 3, {U32, U16, NICKNAME}},
    IrsdLayout{IRSD_ITEM_IAS_VALUE, D, false, 6, {U8, U16, I32, U8, U32, IAS_BYTES}},
    IrsdLayout{IRSD_ITEM_LINK, D, false, 8, {U8, U8, U32, U32, U8, U16, U32, U32}},
    IrsdLayout{IRSD_ITEM_CLIENT, D, false, 4, {U32, U32, U8, U8}},
    IrsdLayout{IRSD_ITEM_CHANNEL, D, false, 7, {U32, U32, U8, U8, NAME, U32, U32}},
    IrsdLayout{IRSD_ITEM_SEEN, D, false, 4, {U32, U16, NICKNAME, U32}},
    IrsdLayout{IRSD_ERROR, D, false, 2, {I32, U8}},
};

// The largest message each layout can make fits the maximum, so the encoder never meets one
// that does not.
constexpr size_t largest(const IrsdLayout& layout) {
    size_t size = IRSD_HEADER_SIZE;
    for (size_t i = 0; i < layout.count; ++i) {
        const IrsdField& f = layout.fields.at(i);
        switch (f.kind) {
        case IrsdKind::U8:
            size += 1;
            break;
        case IrsdKind::U16:
            size += 2;
            break;
        case IrsdKind::U32:
        case IrsdKind::I32:
            size += 4;
            break;
        case IrsdKind::TEXT:
            size += 1 + f.max;
            break;
        case IrsdKind::BLOB:
            size += 2 + f.max;
            break;
        }
    }
    return size;
}
static_assert(std::all_of(LAYOUTS.begin(), LAYOUTS.end(),
                          [](const IrsdLayout& l) { return largest(l) <= IRSD_MSG_MAX; }));

size_t numberSize(IrsdKind kind) {
    switch (kind) {
    case IrsdKind::U8:
        return 1;
    case IrsdKind::U16:
        return 2;
    default:
        return 4;
    }
}

void putLe(uint8_t* at, uint32_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t getLe(const uint8_t* at, size_t size) {
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        value |= static_cast<uint32_t>(at[i]) << (8 * i);
    }
    return value;
}

} // namespace

const IrsdLayout* irsdLayout(uint8_t type) {
    const auto* found = std::find_if(LAYOUTS.begin(), LAYOUTS.end(),
                                     [type](const IrsdLayout& l) { return l.type == type; });
    return found == LAYOUTS.end() ? nullptr : &*found;
}

std::span<const IrsdLayout> irsdLayouts() {
    return LAYOUTS;
}

void irsdInit(IrsdMsg& msg, uint8_t type, uint32_t id) {
    msg.type = type;
    msg.id = id;
    msg.fd = -1;
    msg.num.fill(0);
    msg.textAt.fill(0);
    msg.textLength.fill(0);
    msg.arenaUsed = 0;
}

int irsdSetText(IrsdMsg& msg, uint8_t field, std::string_view text) {
    if (field >= IRSD_FIELDS_MAX || text.size() > msg.arena.size() - msg.arenaUsed) {
        return IRSD_ERR_ARG;
    }
    std::copy(text.begin(), text.end(), msg.arena.begin() + msg.arenaUsed);
    msg.textAt.at(field) = msg.arenaUsed;
    msg.textLength.at(field) = static_cast<uint16_t>(text.size());
    msg.arenaUsed = static_cast<uint16_t>(msg.arenaUsed + text.size());
    return IRSD_OK;
}

std::string_view irsdText(const IrsdMsg& msg, uint8_t field) {
    if (field >= IRSD_FIELDS_MAX) {
        return {};
    }
    const size_t at = msg.textAt.at(field);
    const size_t length = msg.textLength.at(field);
    if (at > msg.arena.size() || length > msg.arena.size() - at) {
        return {};
    }
    return {reinterpret_cast<const char*>(msg.arena.data()) + at, length};
}

int irsdEncode(const IrsdMsg& msg, std::span<uint8_t> out) {
    const IrsdLayout* layout = irsdLayout(msg.type);
    if (layout == nullptr) {
        return IRSD_ERR_TYPE;
    }
    if (out.size() < largest(*layout)) {
        return IRSD_ERR_TOO_LONG;
    }
    size_t at = IRSD_HEADER_SIZE;
    for (uint8_t i = 0; i < layout->count; ++i) {
        const IrsdField& f = layout->fields.at(i);
        if (f.kind == IrsdKind::TEXT || f.kind == IrsdKind::BLOB) {
            const std::string_view text = irsdText(msg, i);
            const bool isText = f.kind == IrsdKind::TEXT;
            if (text.size() > f.max || (isText && text.find('\0') != std::string_view::npos)) {
                return IRSD_ERR_ARG;
            }
            const size_t prefix = isText ? 1 : 2;
            putLe(&out[at], static_cast<uint32_t>(text.size()), prefix);
            std::memcpy(out.data() + at + prefix, text.data(), text.size());
            at += prefix + text.size();
        } else {
            const size_t size = numberSize(f.kind);
            const uint32_t value = msg.num.at(i);
            if (size < 4 && value >> (8 * size) != 0) {
                return IRSD_ERR_ARG;
            }
            putLe(&out[at], value, size);
            at += size;
        }
    }
    std::copy(IRSD_MAGIC.begin(), IRSD_MAGIC.end(), out.begin());
    out[4] = IRSD_VERSION;
    out[5] = msg.type;
    putLe(&out[6], static_cast<uint32_t>(at - IRSD_HEADER_SIZE), 2);
    putLe(&out[8], msg.id, 4);
    return static_cast<int>(at);
}

int irsdMessageLength(std::span<const uint8_t> head) {
    const size_t have = std::min(head.size(), IRSD_MAGIC.size());
    if (!std::equal(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(have),
                    IRSD_MAGIC.begin())) {
        return IRSD_ERR_MALFORMED;
    }
    if (head.size() < IRSD_HEADER_SIZE) {
        return 0;
    }
    if (head[4] != IRSD_VERSION) {
        return IRSD_ERR_VERSION;
    }
    const size_t total = IRSD_HEADER_SIZE + getLe(&head[6], 2);
    if (total > IRSD_MSG_MAX) {
        return IRSD_ERR_TOO_LONG;
    }
    return static_cast<int>(total);
}

uint32_t irsdHeaderId(std::span<const uint8_t> head) {
    // Garbage has no id to echo.
    if (head.size() < IRSD_HEADER_SIZE ||
        !std::equal(IRSD_MAGIC.begin(), IRSD_MAGIC.end(), head.begin())) {
        return 0;
    }
    return getLe(&head[8], 4);
}

int irsdDecode(std::span<const uint8_t> bytes, IrsdMsg& msg) {
    const int total = irsdMessageLength(bytes);
    if (total <= 0) {
        return total == 0 ? IRSD_ERR_MALFORMED : total;
    }
    if (static_cast<size_t>(total) != bytes.size()) {
        return IRSD_ERR_MALFORMED;
    }
    const IrsdLayout* layout = irsdLayout(bytes[5]);
    if (layout == nullptr) {
        return IRSD_ERR_TYPE;
    }
    irsdInit(msg, bytes[5], irsdHeaderId(bytes));
    size_t at = IRSD_HEADER_SIZE;
    for (uint8_t i = 0; i < layout->count; ++i) {
        const IrsdField& f = layout->fields.at(i);
        const bool isText = f.kind == IrsdKind::TEXT;
        const size_t size = isText ? 1 : f.kind == IrsdKind::BLOB ? 2 : numberSize(f.kind);
        if (bytes.size() - at < size) {
            return IRSD_ERR_MALFORMED;
        }
        const uint32_t value = getLe(&bytes[at], size);
        at += size;
        if (!isText && f.kind != IrsdKind::BLOB) {
            msg.num.at(i) = value;
            continue;
        }
        if (value > f.max || bytes.size() - at < value) {
            return IRSD_ERR_MALFORMED;
        }
        const std::string_view text(reinterpret_cast<const char*>(bytes.data() + at), value);
        if (isText && text.find('\0') != std::string_view::npos) {
            return IRSD_ERR_MALFORMED;
        }
        if (irsdSetText(msg, i, text) != IRSD_OK) {
            return IRSD_ERR_MALFORMED;
        }
        at += value;
    }
    return at == bytes.size() ? IRSD_OK : IRSD_ERR_MALFORMED;
}

const char* irsdStatusText(int status) {
    // The daemon's log only; the library shows its own texts for the codes it shares.
    switch (status) {
    case IRSD_OK:
        return "ok";
    case IRSD_ERR_ARG:
        return "bad argument";
    case IRSD_ERR_HANDLE:
        return "no such handle";
    case IRSD_ERR_STATE:
        return "not in this state";
    case IRSD_ERR_TIMEOUT:
        return "timed out";
    case IRSD_ERR_PORT:
        return "port cannot be opened";
    case IRSD_ERR_PORT_LOST:
        return "port lost";
    case IRSD_ERR_PEER_GONE:
        return "peer gone";
    case IRSD_ERR_NO_SERVICE:
        return "no such service";
    case IRSD_ERR_IO:
        return "port operation failed";
    case IRSD_ERR_UNSUPPORTED:
        return "not supported";
    case IRSD_ERR_NO_MEMORY:
        return "limit reached";
    case IRSD_ERR_ACCESS:
        return "not allowed";
    case IRSD_ERR_MALFORMED:
        return "malformed message";
    case IRSD_ERR_VERSION:
        return "protocol version not spoken";
    case IRSD_ERR_TYPE:
        return "unknown message type";
    case IRSD_ERR_TOO_LONG:
        return "message too long";
    default:
        return "unknown status";
    }
}
