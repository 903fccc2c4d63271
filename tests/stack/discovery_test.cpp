// Discovery information as a person reads it: hints by name, the nickname as text, and nothing
// read or written past either end whatever the device sent.
#include <array>
#include <string>

#include <gtest/gtest.h>

#include "discovery.h"

namespace {

std::string describe(std::initializer_list<uint8_t> info, size_t room = 256) {
    LapDiscovered device;
    device.address = 0x3412CDAB;
    for (const uint8_t byte : info) {
        device.info[device.infoLength++] = byte;
    }
    std::array<char, 256> out{};
    out.fill('#');
    lapDescribeDiscovered(device, std::span<char>(out.data(), room));
    if (room < out.size()) {
        EXPECT_EQ(out[room], '#'); // nothing past the room given
    }
    return out.data();
}

TEST(Discovery, HintsByNameNicknameAsTextAndBounds) {
    EXPECT_EQ(describe({0x82, 0x04}), "AB-CD-12-34  PDA/Palmtop, IrCOMM");
    EXPECT_EQ(describe({0x04, 0x00, 'P', 'C', 0x01}), "AB-CD-12-34  Computer  \"PC\\x01\"");
    EXPECT_EQ(describe({}), "AB-CD-12-34  no hints");
    // A third hint byte has no names; the extension bit of the last byte runs into the end.
    EXPECT_EQ(describe({0x80, 0x80, 0xFF}), "AB-CD-12-34  no hints");
    // Cut to the room given, ended inside it.
    EXPECT_EQ(describe({0x82, 0x04}, 8), "AB-CD-1");
}

} // namespace
