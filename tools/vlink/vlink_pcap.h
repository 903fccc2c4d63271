// Capture file of the virtual link: classic pcap with link type 144, each frame behind a 16-byte
// header that tells which end sent it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>

constexpr size_t VLINK_PCAP_GLOBAL_SIZE = 24;
constexpr size_t VLINK_PCAP_RECORD_SIZE = 16;
constexpr size_t VLINK_PCAP_PSEUDO_SIZE = 16;
constexpr uint32_t VLINK_PCAP_LINKTYPE = 144;
constexpr uint32_t VLINK_PCAP_SNAPLEN = 65535;
constexpr uint16_t VLINK_PCAP_FROM_FIRST = 0x0004;
constexpr uint16_t VLINK_PCAP_FROM_SECOND = 0x0000;
constexpr uint16_t VLINK_PCAP_PROTOCOL = 0x0017;

// Writes the file header; returns its size.
size_t vlinkPcapGlobalHeader(std::span<uint8_t, VLINK_PCAP_GLOBAL_SIZE> out);
// Writes one packet (record header, pseudo-header, frame content) stamped with wall-clock time
// timeNs; returns its size, or 0 when out is too small.
size_t vlinkPcapPacket(std::span<uint8_t> out, int64_t timeNs, bool fromFirst,
                       std::span<const uint8_t> frame);

// An open capture file shared by the capture threads of both directions.
struct VlinkPcapFile {
    FILE* file = nullptr;
    std::mutex lock;
    uint64_t frames = 0;
};

bool vlinkPcapOpen(VlinkPcapFile& pcap, const char* path);
// Appends one frame and flushes, so the file is whole at any moment.
void vlinkPcapWrite(VlinkPcapFile& pcap, int64_t timeNs, bool fromFirst,
                    std::span<const uint8_t> frame);
uint64_t vlinkPcapFrames(VlinkPcapFile& pcap);
void vlinkPcapClose(VlinkPcapFile& pcap);
