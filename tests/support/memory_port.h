// A station's frame port for tests: SIR frames over a MemoryLink, on a simulated clock that only
// the test moves, with the speed switches and resets recorded and failures scripted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lap_port.h"
#include "memory_link.h"

class MemoryPort final : public SirFramePort {
  public:
    MemoryPort() : SirFramePort(line) {}
    explicit MemoryPort(MemoryLink& other) : SirFramePort(other) {}

    uint32_t nowMs() override { return clockMs; }
    IrErr setSpeed(uint32_t speed) override;
    IrErr reset() override;
    // Another byte line under the same port (a test's answering peer).
    void useLink(ByteLink& other) { rebind(other); }

    // The simulated clock; only the test moves it.
    uint32_t clockMs = 0;
    // Speeds switched to and resets, in order.
    std::vector<uint32_t> speeds;
    // Bytes on `line` when each speed switch came.
    std::vector<size_t> sentAtSwitch;
    int resets = 0;
    // The next speed switches fail with this error (IR_OK: they succeed).
    IrErr speedError = IR_OK;
    MemoryLink line;
};
