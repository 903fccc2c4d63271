#include "discovery.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "lap.h"

namespace {

constexpr uint8_t HINT_MORE = 0x80;
constexpr uint8_t HINT_BITS = 7;
// The hint bits that have names; later hint bytes have none.
constexpr std::array<std::array<const char*, HINT_BITS>, 2> HINT_NAMES{{
    {"PnP", "PDA/Palmtop", "Computer", "Printer", "Modem", "Fax", "LAN Access"},
    {"Telephony", "File Server", "IrCOMM", "Message", "HTTP", "IrOBEX", nullptr},
}};
constexpr uint8_t PRINTABLE_FIRST = 0x20;
constexpr uint8_t PRINTABLE_LAST = 0x7E;

// Appends like snprintf, never past the end; `used` stops at the last byte.
struct Writer {
    std::span<char> out;
    size_t used = 0;
};

void put(Writer& writer, const char* format, ...) CONSOLE_PRINTF_FORMAT(2, 3);
void put(Writer& writer, const char* format, ...) {
    if (writer.used + 1 >= writer.out.size()) {
        return;
    }
    const size_t room = writer.out.size() - writer.used;
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(writer.out.data() + writer.used, room, format, arguments);
    va_end(arguments);
    if (written > 0) {
        writer.used += std::min(static_cast<size_t>(written), room - 1);
    }
}

} // namespace

void lapDescribeDiscovered(const LapDiscovered& device, std::span<char> out) {
    if (out.empty()) {
        return;
    }
    out[0] = '\0';
    Writer writer{out};
    std::array<uint8_t, 4> address{};
    lapPutAddress(address.data(), device.address);
    put(writer, "%02X-%02X-%02X-%02X", address[0], address[1], address[2], address[3]);
    const uint8_t length = std::min<uint8_t>(device.infoLength, device.info.size());
    uint8_t position = 0;
    bool named = false;
    // Hint bytes while each says another follows.
    for (bool more = true; more && position < length; ++position) {
        const uint8_t hint = device.info[position];
        more = (hint & HINT_MORE) != 0;
        for (uint8_t bit = 0; bit < HINT_BITS && position < HINT_NAMES.size(); ++bit) {
            const char* name = HINT_NAMES[position][bit];
            if ((hint & (1U << bit)) != 0 && name != nullptr) {
                put(writer, named ? ", %s" : "  %s", name);
                named = true;
            }
        }
    }
    if (!named) {
        put(writer, "  %s", "no hints");
    }
    // The character set byte, then the nickname.
    if (position < length) {
        ++position;
    }
    if (position < length) {
        put(writer, "%s", "  \"");
        for (; position < length; ++position) {
            const uint8_t byte = device.info[position];
            if (byte >= PRINTABLE_FIRST && byte <= PRINTABLE_LAST && byte != '"' && byte != '\\') {
                put(writer, "%c", byte);
            } else {
                put(writer, "\\x%02X", byte);
            }
        }
        put(writer, "%s", "\"");
    }
}

namespace {

// Where the nickname starts: after the hint bytes (each with HINT_MORE while another follows)
// and the character set byte.
uint8_t nicknameStart(const LapDiscovered& device, uint8_t length) {
    uint8_t position = 0;
    for (bool more = true; more && position < length; ++position) {
        more = (device.info[position] & HINT_MORE) != 0;
    }
    return position < length ? position + 1 : position;
}

} // namespace

void lapHintNames(const LapDiscovered& device, std::span<char> out) {
    if (out.empty()) {
        return;
    }
    out[0] = '\0';
    Writer writer{out};
    const uint8_t length = std::min<uint8_t>(device.infoLength, device.info.size());
    bool named = false;
    uint8_t position = 0;
    for (bool more = true; more && position < length; ++position) {
        const uint8_t hint = device.info[position];
        more = (hint & HINT_MORE) != 0;
        for (uint8_t bit = 0; bit < HINT_BITS && position < HINT_NAMES.size(); ++bit) {
            const char* name = HINT_NAMES[position][bit];
            if ((hint & (1U << bit)) != 0 && name != nullptr) {
                put(writer, named ? ", %s" : "%s", name);
                named = true;
            }
        }
    }
}

void lapNickname(const LapDiscovered& device, std::span<char> out) {
    if (out.empty()) {
        return;
    }
    const uint8_t length = std::min<uint8_t>(device.infoLength, device.info.size());
    size_t used = 0;
    for (uint8_t position = nicknameStart(device, length);
         position < length && used + 1 < out.size(); ++position) {
        const uint8_t byte = device.info[position];
        const bool printable = byte >= PRINTABLE_FIRST && byte <= PRINTABLE_LAST;
        out[used++] = printable ? static_cast<char>(byte) : '?';
    }
    out[used] = '\0';
}

uint16_t lapHintBits(const LapDiscovered& device) {
    const uint8_t length = std::min<uint8_t>(device.infoLength, device.info.size());
    uint16_t bits = length > 0 ? device.info[0] : 0;
    if (length > 1 && (device.info[0] & HINT_MORE) != 0) {
        bits |= static_cast<uint16_t>(device.info[1] << 8U);
    }
    return bits;
}

namespace {

// The slot counts the flags' low two bits name, in their order.
constexpr std::array<uint8_t, 4> SLOT_COUNTS{1, 6, 8, 16};
constexpr uint8_t CHARSET_ASCII = 0x00;

} // namespace

uint8_t lapXidSlotsFlags(uint8_t slots) {
    uint8_t code = 0;
    while (code + 1U < SLOT_COUNTS.size() && SLOT_COUNTS[code] < slots) {
        ++code;
    }
    return code;
}

uint8_t lapXidSlotCount(uint8_t flags) {
    return SLOT_COUNTS[flags & 0x03];
}

LapRandom::LapRandom() {
    uint32_t value = 0;
    try {
        std::random_device source;
        value = source();
    } catch (const std::exception&) {
        // No system source: the clock and where this station lives still tell two apart.
        const auto ticks =
            static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        value = static_cast<uint32_t>(ticks ^ (ticks >> 32U) ^ reinterpret_cast<uintptr_t>(this));
    }
    generator.seed(value);
}

uint32_t LapRandom::address() {
    std::uniform_int_distribution<uint32_t> draw(1, BROADCAST_DEVICE_ADDRESS - 1);
    return draw(generator);
}

uint8_t LapRandom::slot(uint8_t slots) {
    if (slots <= 1) {
        return 0;
    }
    std::uniform_int_distribution<unsigned> draw(0, slots - 1U);
    return static_cast<uint8_t>(draw(generator));
}

uint32_t LapRandom::below(uint32_t bound) {
    if (bound <= 1) {
        return 0;
    }
    std::uniform_int_distribution<uint32_t> draw(0, bound - 1);
    return draw(generator);
}

bool lapNicknameValid(const char* nickname) {
    if (nickname == nullptr) {
        return false;
    }
    const size_t length = strnlen(nickname, LAP_NICKNAME_MAX + 1);
    return length > 0 && length <= LAP_NICKNAME_MAX &&
           std::all_of(nickname, nickname + length, [](char byte) {
               const auto code = static_cast<uint8_t>(byte);
               return code >= PRINTABLE_FIRST && code <= PRINTABLE_LAST;
           });
}

uint16_t lapPutIdentity(uint8_t* destination, uint16_t hints, const char* nickname) {
    const auto first = static_cast<uint8_t>(hints & ~HINT_MORE & 0xFFU);
    const auto second = static_cast<uint8_t>((hints >> 8U) & ~HINT_MORE & 0xFFU);
    uint16_t length = 0;
    if (second != 0) {
        destination[length++] = static_cast<uint8_t>(first | HINT_MORE);
        destination[length++] = second;
    } else {
        destination[length++] = first;
    }
    destination[length++] = CHARSET_ASCII;
    const size_t nameLength = strnlen(nickname, LAP_NICKNAME_MAX);
    std::memcpy(destination + length, nickname, nameLength);
    return static_cast<uint16_t>(length + nameLength);
}
