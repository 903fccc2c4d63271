// SIR framing: wraps frame content with XBOFs, BOF, escapes, FCS-16 and EOF, and unwraps it again.
// Bytes move only through the ByteLink the caller hands in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "ir_err.h"
#include "ir_options.h"

// The three byte operations under the framing, provided by each station (or a test).
class ByteLink {
  public:
    virtual ~ByteLink() = default;
    virtual void sendByte(uint8_t byte) = 0;
    // True when a received byte is available for readByte.
    virtual bool waitByte(uint16_t timeoutMs) = 0;
    virtual uint8_t readByte() = 0;
    // A link that can hand bytes to its port in one write overrides this.
    virtual void sendBytes(std::span<const uint8_t> bytes) {
        for (const uint8_t byte : bytes) {
            sendByte(byte);
        }
    }
    // Waits at least this long; a link without a clock does not wait.
    virtual void pauseUs(uint32_t /*microseconds*/) {}
    // Milliseconds on the link's monotonic clock. A link without one stays at 0, so only a quiet
    // line ends a receiver's hunt for a frame there.
    virtual uint32_t nowMs() { return 0; }
    // The first failure of the port since the last call (IR_OK when none), so a frame cut short
    // by a failing port is not taken for noise.
    virtual IrErr takeError() { return IR_OK; }

    // What the peer asked for at the link's speed: XBOFs before each frame (the usual ones and
    // its extra ones), and a pause after its last byte before ours. Only the station's task sets
    // and reads them.
    void setPeerNeeds(uint16_t leadBofs, uint32_t turnaroundUs) {
        constexpr uint16_t most = SIR_XBOF_COUNT + SIR_MAX_ADDITIONAL_BOFS;
        peerBofs = leadBofs < most ? leadBofs : most;
        peerTurnaroundUs = turnaroundUs;
    }
    uint16_t leadBofs() const { return peerBofs; }
    uint32_t turnaroundUs() const { return peerTurnaroundUs; }
    // The peer's turnaround is owed once it has been heard, not before every frame of a window:
    // the receive side notes each byte, the next frame sent takes the note.
    void noteHeard() { heardSinceSent = true; }
    bool takeHeard() {
        const bool heard = heardSinceSent;
        heardSinceSent = false;
        return heard;
    }

  protected:
    ByteLink() = default;
    ByteLink(const ByteLink&) = default;
    ByteLink& operator=(const ByteLink&) = default;

  private:
    uint16_t peerBofs = SIR_XBOF_COUNT;
    uint32_t peerTurnaroundUs = 0;
    bool heardSinceSent = true;
};

constexpr uint8_t SIR_XBOF = 0xFF;
constexpr uint8_t SIR_BOF = 0xC0;
constexpr uint8_t SIR_EOF = 0xC1;
constexpr uint8_t SIR_CE = 0x7D;
constexpr uint16_t FCS_INIT = 0xFFFF;
constexpr uint16_t FCS_GOOD = 0xF0B8;

using RxFrame = std::array<uint8_t, SIR_RX_BUFFER_SIZE>;

uint16_t fcsUpdate(uint16_t fcs, uint8_t byte);

void sirSendEscaped(ByteLink& link, uint8_t byte);
// Sends the whole wrapped frame, in one sendBytes when it fits a longest frame, then traces it.
void sirSendFrame(ByteLink& link, const uint8_t* frame, uint16_t length);
// Content length of one intact frame (traced, followed by "."), or 0. When `damaged` is given, it
// tells whether the 0 stands for a frame that began and carried at least two bytes but did not
// arrive intact; the buffer then holds those bytes as received. Bytes before a BOF are dropped for
// at most SIR_HUNT_WAIT_MS on the link's clock, so noise without frames cannot hold the reader;
// with `noiseQuietMs` set, no longer than the line stays quiet that long after them.
uint16_t sirReceiveFrame(ByteLink& link, RxFrame& buffer, bool* damaged = nullptr,
                         uint16_t noiseQuietMs = 0);
