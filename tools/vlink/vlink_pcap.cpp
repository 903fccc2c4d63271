#include "vlink_pcap.h"

#include <array>

#include "ir_options.h"

namespace {

constexpr uint32_t PCAP_MAGIC = 0xA1B2C3D4;
constexpr uint16_t PCAP_VERSION_MAJOR = 2;
constexpr uint16_t PCAP_VERSION_MINOR = 4;
// The largest frame the capture's SIR receiver can hand over; a longer one would be dropped.
constexpr size_t MAX_FRAME = SIR_RX_BUFFER_SIZE;

// The file is written little-endian throughout; only the pseudo-header is big-endian.
void putLe32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void putLe16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

void putBe16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}

} // namespace

size_t vlinkPcapGlobalHeader(std::span<uint8_t, VLINK_PCAP_GLOBAL_SIZE> out) {
    uint8_t* p = out.data();
    putLe32(p, PCAP_MAGIC);
    putLe16(p + 4, PCAP_VERSION_MAJOR);
    putLe16(p + 6, PCAP_VERSION_MINOR);
    putLe32(p + 8, 0);  // time zone offset
    putLe32(p + 12, 0); // timestamp accuracy
    putLe32(p + 16, VLINK_PCAP_SNAPLEN);
    putLe32(p + 20, VLINK_PCAP_LINKTYPE);
    return VLINK_PCAP_GLOBAL_SIZE;
}

size_t vlinkPcapPacket(std::span<uint8_t> out, int64_t timeNs, bool fromFirst,
                       std::span<const uint8_t> frame) {
    const size_t captured = VLINK_PCAP_PSEUDO_SIZE + frame.size();
    const size_t total = VLINK_PCAP_RECORD_SIZE + captured;
    if (out.size() < total || timeNs < 0) {
        return 0;
    }
    uint8_t* p = out.data();
    putLe32(p, static_cast<uint32_t>(timeNs / 1'000'000'000));
    putLe32(p + 4, static_cast<uint32_t>(timeNs % 1'000'000'000 / 1000));
    putLe32(p + 8, static_cast<uint32_t>(captured));
    putLe32(p + 12, static_cast<uint32_t>(captured));
    p += VLINK_PCAP_RECORD_SIZE;
    putBe16(p, fromFirst ? VLINK_PCAP_FROM_FIRST : VLINK_PCAP_FROM_SECOND);
    putBe16(p + 2, 0);
    putBe16(p + 4, 0);
    for (size_t i = 6; i < 14; ++i) {
        p[i] = 0;
    }
    putBe16(p + 14, VLINK_PCAP_PROTOCOL);
    p += VLINK_PCAP_PSEUDO_SIZE;
    for (size_t i = 0; i < frame.size(); ++i) {
        p[i] = frame[i];
    }
    return total;
}

bool vlinkPcapOpen(VlinkPcapFile& pcap, const char* path) {
    pcap.file = std::fopen(path, "wb");
    if (pcap.file == nullptr) {
        return false;
    }
    std::array<uint8_t, VLINK_PCAP_GLOBAL_SIZE> header{};
    vlinkPcapGlobalHeader(header);
    const bool written = std::fwrite(header.data(), 1, header.size(), pcap.file) == header.size();
    return std::fflush(pcap.file) == 0 && written;
}

void vlinkPcapWrite(VlinkPcapFile& pcap, int64_t timeNs, bool fromFirst,
                    std::span<const uint8_t> frame) {
    std::array<uint8_t, VLINK_PCAP_RECORD_SIZE + VLINK_PCAP_PSEUDO_SIZE + MAX_FRAME> packet{};
    const size_t size = vlinkPcapPacket(packet, timeNs, fromFirst, frame);
    const std::lock_guard<std::mutex> guard(pcap.lock);
    if (pcap.file == nullptr || size == 0) {
        return;
    }
    std::fwrite(packet.data(), 1, size, pcap.file);
    std::fflush(pcap.file);
    pcap.frames += 1;
}

uint64_t vlinkPcapFrames(VlinkPcapFile& pcap) {
    const std::lock_guard<std::mutex> guard(pcap.lock);
    return pcap.frames;
}

void vlinkPcapClose(VlinkPcapFile& pcap) {
    const std::lock_guard<std::mutex> guard(pcap.lock);
    if (pcap.file != nullptr) {
        std::fclose(pcap.file);
        pcap.file = nullptr;
    }
}
