// Finds the intact frames in what one direction of the virtual link delivered, with the stack's own
// SIR receiver, on a thread of its own so that carrying bytes never waits for it.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

#include "sir.h"

constexpr size_t VLINK_CAPTURE_SLOTS = 16384;

// Delivered bytes with their times, read by the SIR receiver as its ByteLink.
class VlinkCapture final : public ByteLink {
  public:
    VlinkCapture() = default;
    VlinkCapture(const VlinkCapture&) = delete;
    VlinkCapture& operator=(const VlinkCapture&) = delete;
    virtual ~VlinkCapture() = default;

    // Never blocks; false (and the byte is not captured) when the capture has fallen behind.
    bool push(uint8_t byte, int64_t timeNs);
    // After this, waits end at once when nothing is left to read; before it, a wait blocks until a
    // byte comes and then times out only if the byte landed that long after the last one read.
    void stop();
    bool finished();
    // Time of the byte readByte returned last.
    int64_t lastTimeNs() const { return lastTime; }
    uint64_t overflows();

    void sendByte(uint8_t /*byte*/) override {}
    bool waitByte(uint16_t timeoutMs) override;
    uint8_t readByte() override;

  private:
    struct Entry {
        int64_t timeNs;
        uint8_t byte;
    };
    std::mutex lock;
    std::condition_variable arrived;
    std::array<Entry, VLINK_CAPTURE_SLOTS> entries{};
    size_t head = 0;
    size_t count = 0;
    bool stopping = false;
    uint64_t overflowCount = 0;
    int64_t lastTime = 0; // used by the reading thread only
};

using VlinkFrameFn = void (*)(void* context, int64_t timeNs, std::span<const uint8_t> frame);

// Reads frames until the capture is stopped and drained; hands each intact one to fn. The SIR
// receiver traces every frame through the console: silence it beforehand.
void vlinkCaptureRun(VlinkCapture& capture, VlinkFrameFn fn, void* context);
