// Drives the primary engine step by step against a scripted secondary over a MemoryLink.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "console_capture.h"
#include "memory_link.h"
#include "primary_port.h"

using Bytes = std::vector<uint8_t>;

class PrimaryEngineTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // One primaryStep; returns the frames it sent.
    std::vector<Bytes> step();
    // `count` steps; returns every frame sent on the way.
    std::vector<Bytes> steps(int count);
    // Feeds `frames` and runs the poll step and the read step; returns what the read step sent.
    std::vector<Bytes> answer(const std::vector<Bytes>& frames);
    std::vector<Bytes> answer(const Bytes& frame) { return answer(std::vector<Bytes>{frame}); }

    // Walks the engine through the whole connection; stops after entering `state` (1 to 9).
    void connectTo(uint8_t state);

    static MemoryLink& link();
    static int resets();
    static std::vector<uint32_t>& speeds();
    // Bytes on the wire when the speed was switched.
    static std::vector<size_t>& sentAtSwitch();

    ConsoleCapture console;
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
