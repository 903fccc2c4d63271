// Drives a secondary station step by step over a MemoryPort, with frame helpers for a scripted
// primary and the secondary's expected replies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console_capture.h"
#include "memory_port.h"
#include "secondary_station.h"
#include "wire_frames.h"

using Frames = std::vector<Bytes>;

// Frames a primary sends, with connection address 1 (address byte 0x03).
Bytes xidCommand(uint8_t slot, const Bytes& destination = wire::BROADCAST, uint8_t flags = 0);
Bytes snrm(uint8_t connectionByte = 0x02, uint8_t baudCode = 0x02,
           const Bytes& destination = wire::SECONDARY_ADDRESS);
Bytes rrCommand(uint8_t nr, uint8_t address = 0x03);
Bytes iCommand(uint8_t ns, uint8_t nr, const Bytes& payload, uint8_t address = 0x03);
Bytes iasQuery(const std::string& className, const std::string& attribute);
// An IrCOMM data PDU for LSAP 4 from LSAP 2: TinyTP credit, parameters, data.
Bytes ircomm(const Bytes& params, const Bytes& data);
// The secondary's I-frame header (address 0x02) followed by the payload.
Bytes iResponse(uint8_t nr, uint8_t ns, const Bytes& payload);
Bytes rrResponse(uint8_t nr);
Bytes text(const std::string& s);

// Empties the station's transmit queue as the engine would stage it, and returns what was queued.
std::string takeQueued(secondary::SecondaryStation& station);

class SecondaryTest : public ::testing::Test {
  protected:
    void SetUp() override;

    // Feeds one frame and steps until the engine has read it (two steps); returns the replies.
    Frames deliver(const Bytes& content);
    Frames steps(int count);
    // Runs the peer through discovery, SNRM, LM/TinyTP connect and the first IrCOMM frame; the
    // engine is then in state 5 and expects Ns 2.
    void openChannel();
    void queueText(const std::string& s);
    std::string transmitQueued() { return takeQueued(station); }
    // Bytes waiting in the transmit queue.
    int queued() { return FIXED_TRANSMIT_SIZE - 1 - station.connection().room(); }
    size_t receive(std::array<uint8_t, FIXED_RECEIVE_SIZE - 1>& buffer) {
        return station.connection().receive(buffer.data(), buffer.size());
    }
    LinkRecord& record() { return station.connection().record; }

    MemoryPort port;
    MemoryLink& link = port.line;
    secondary::SecondaryStation station{port};
    ConsoleCapture console;
    uint8_t ns = 0; // the primary's next Ns as the helpers track it
    uint8_t nr = 0; // the primary's Nr (frames of ours it has seen)
};
