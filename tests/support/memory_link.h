// In-memory ByteLink for driving the SIR layer and the station engines without a port.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "sir.h"

class MemoryLink final : public ByteLink {
  public:
    void sendByte(uint8_t byte) override { sent.push_back(byte); }
    bool waitByte(uint16_t timeoutMs) override;
    uint8_t readByte() override;
    void pauseUs(uint32_t microseconds) override {
        pausesUs.push_back(microseconds);
        pausedAt.push_back(sent.size());
        incoming.insert(incoming.end(), arrivingInPause.begin(), arrivingInPause.end());
        arrivingInPause.clear();
    }
    IrErr takeError() override {
        const IrErr error = failure;
        failure = IR_OK;
        return error;
    }

    // Queues bytes for the station to receive.
    void feed(const std::vector<uint8_t>& bytes);
    // Queues `content` wrapped as a SIR frame (XBOFs, BOF, escapes, FCS, EOF).
    void feedFrame(const std::vector<uint8_t>& content);
    // Takes the content of every whole frame sent so far and clears `sent`.
    std::vector<std::vector<uint8_t>> takeSentFrames();

    std::deque<uint8_t> incoming;
    std::vector<uint8_t> sent;
    std::vector<uint16_t> waits;          // time-outs passed to waitByte, in order
    std::vector<uint32_t> pausesUs;       // pauses before frames, for the peer's turnaround
    std::vector<size_t> pausedAt;         // bytes in `sent` when each pause came
    std::vector<uint8_t> arrivingInPause; // the peer's bytes that come during the next pause
    // Reported once by takeError: a port that failed (the test sets it where the port fails).
    IrErr failure = IR_OK;
};

// The wire bytes of `content` wrapped as a SIR frame.
std::vector<uint8_t> sirWrap(const std::vector<uint8_t>& content);
// The contents of the intact frames in a wire byte stream.
std::vector<std::vector<uint8_t>> sirUnwrapAll(const std::vector<uint8_t>& wire);
