// Drives a primary station step by step against a scripted secondary over a MemoryPort.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "console_capture.h"
#include "memory_port.h"
#include "primary_station.h"

using Bytes = std::vector<uint8_t>;

class PrimaryEngineTest : public ::testing::Test {
  protected:
    void SetUp() override;

    // One primaryStep; returns the frames it sent.
    std::vector<Bytes> step();
    // `count` steps; returns every frame sent on the way.
    std::vector<Bytes> steps(int count);
    // Feeds `frames` and runs the poll step and the read step; returns what the read step sent.
    std::vector<Bytes> answer(const std::vector<Bytes>& frames);
    std::vector<Bytes> answer(const Bytes& frame) { return answer(std::vector<Bytes>{frame}); }

    // Walks the engine through the whole connection; stops after entering `state` (1 to 9).
    void connectTo(uint8_t state);

    MemoryLink& link() { return port.line; }
    int resets() const { return port.resets; }
    const std::vector<uint32_t>& speeds() const { return port.speeds; }
    // Bytes on the wire when the speed was switched.
    const std::vector<size_t>& sentAtSwitch() const { return port.sentAtSwitch; }

    void send(const std::string& text);
    // Every received byte, as primaryReceive gives them.
    Bytes received();
    // Bytes in the transmit queue (the fixed profile's).
    int queued() { return FIXED_TRANSMIT_SIZE - 1 - station.connection().room(); }
    uint8_t isIdle() const { return station.state() == primary::PRIMARY_START_DELAY ? 1 : 0; }
    uint8_t isConnected() const { return station.state() == primary::PRIMARY_CONNECTED ? 1 : 0; }
    uint8_t isConnecting() const { return isIdle() == 0 && isConnected() == 0 ? 1 : 0; }

    ConsoleCapture console;
    MemoryPort port;
    primary::PrimaryStation station{port};
};

// The primary's frames as they must appear on the link.
namespace expect {
extern const Bytes firstXid;
extern const Bytes finalXid;
extern const Bytes snrm;
extern const Bytes iasConnect;
extern const Bytes iasQuery;
extern const Bytes iasDisconnect;
extern const Bytes commConnect;
extern const Bytes commParams;
} // namespace expect

// The secondary's answers along the connection.
namespace peer {
extern const Bytes xidResponse;
Bytes ua(bool withParams, uint8_t baudValue);
Bytes rr(uint8_t nr);
extern const Bytes iasConfirm;
extern const Bytes iasAnswer;
extern const Bytes commConfirm;
extern const Bytes commOpen;
// A response I-frame between the IrCOMM selectors.
Bytes commData(uint8_t nr, uint8_t ns, const Bytes& params, const std::string& text);
} // namespace peer
