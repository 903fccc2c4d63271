#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <unistd.h>
#include <vector>

#include "ir_options.h"
#include "vlink_pcap.h"

TEST(VlinkPcap, GlobalHeader) {
    std::array<uint8_t, VLINK_PCAP_GLOBAL_SIZE> header{};
    EXPECT_EQ(vlinkPcapGlobalHeader(header), 24U);
    const std::array<uint8_t, 24> expected{0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0xFF, 0xFF, 0x00, 0x00, 0x90, 0x00, 0x00, 0x00};
    EXPECT_EQ(header, expected);
}

TEST(VlinkPcap, PacketFromFirstEnd) {
    std::array<uint8_t, 64> out{};
    const std::array<uint8_t, 3> frame{0xFF, 0x3F, 0x01};
    const int64_t time = 1'700'000'000LL * 1'000'000'000 + 123'456'789;
    const size_t size = vlinkPcapPacket(out, time, true, frame);
    const std::vector<uint8_t> expected{0x00, 0xF1, 0x53, 0x65, // 1700000000 s
                                        0x40, 0xE2, 0x01, 0x00, // 123456 us
                                        0x13, 0x00, 0x00, 0x00, // 19 bytes captured
                                        0x13, 0x00, 0x00, 0x00, // of 19
                                        0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0x00, 0x00, 0x00, 0x00, 0x00,
                                        0x17, // pseudo-header: sent by the first end, protocol
                                              // 0x0017
                                        0xFF, 0x3F, 0x01};
    ASSERT_EQ(size, expected.size());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + static_cast<long>(size)), expected);
}

TEST(VlinkPcap, PacketFromSecondEndAndTooSmallBuffer) {
    std::array<uint8_t, 40> out{};
    const std::array<uint8_t, 2> frame{0x03, 0x11};
    ASSERT_EQ(vlinkPcapPacket(out, 0, false, frame), 34U);
    EXPECT_EQ(out[16], 0x00);
    EXPECT_EQ(out[17], 0x00);
    std::array<uint8_t, 33> small{};
    EXPECT_EQ(vlinkPcapPacket(small, 0, false, frame), 0U);
}

TEST(VlinkPcap, FileHoldsHeaderAndPackets) {
    char path[] = "/tmp/vlink-pcap-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    VlinkPcapFile pcap;
    ASSERT_TRUE(vlinkPcapOpen(pcap, path));
    const std::array<uint8_t, 2> frame{0x03, 0x11};
    vlinkPcapWrite(pcap, 1'000'000'000, false, frame);
    vlinkPcapWrite(pcap, 2'000'000'000, true, frame);
    // A frame with the largest field must be captured too, not left out.
    const std::vector<uint8_t> longest(SIR_MAX_CONTENT, 0x55);
    vlinkPcapWrite(pcap, 3'000'000'000, true, longest);
    EXPECT_EQ(vlinkPcapFrames(pcap), 3U);
    vlinkPcapClose(pcap);
    FILE* file = std::fopen(path, "rb");
    ASSERT_NE(file, nullptr);
    std::vector<uint8_t> content(4096);
    const size_t size = std::fread(content.data(), 1, content.size(), file);
    std::fclose(file);
    std::remove(path);
    EXPECT_EQ(size, 24U + 2 * 34U + 32U + SIR_MAX_CONTENT);
    EXPECT_EQ(content[24 + 16 + 1], 0x00); // first packet from the second end
    EXPECT_EQ(content[24 + 34 + 16 + 1], 0x04);
}
