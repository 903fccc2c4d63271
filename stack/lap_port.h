// The boundary between a station and its transceiver: whole frames in and out, the line's speed
// and the station's one clock, each failure answered with an error code. SIR over a serial port is
// one implementation; a transceiver that frames in hardware would be another.
#pragma once

#include <atomic>
#include <cstdint>

#include "ir_err.h"
#include "sir.h"

struct LapFrameIn {
    uint16_t length = 0;  // content of an intact frame; 0 when none came
    bool damaged = false; // a frame began but did not arrive intact (the buffer holds its bytes)
    IrErr error = IR_OK;  // the port's failure, when one cut the read short
};

class FramePort {
  public:
    virtual ~FramePort() = default;
    // Milliseconds on one monotonic clock: everything a station times is measured on it.
    virtual uint32_t nowMs() = 0;
    // True once a frame has begun to arrive, waiting up to waitMs for it (0: one look).
    virtual bool frameBegun(uint32_t waitMs) = 0;
    // Reads one frame into `buffer`, zeroed first; gives up when the line falls quiet, or when
    // noise without a frame has filled the receiver's hunt.
    virtual LapFrameIn receiveFrame(RxFrame& buffer) = 0;
    virtual IrErr sendFrame(const uint8_t* content, uint16_t length) = 0;
    // Once the frames sent have left at the old speed: the port, then the transceiver.
    virtual IrErr setSpeed(uint32_t speed) = 0;
    // The transceiver reset and the line at 9600 bit/s, as for a new link.
    virtual IrErr reset() = 0;
    // What the peer asked for at the link's speed: extra BOFs before each frame, and a pause after
    // its last byte before ours.
    virtual void setPeerNeeds(uint16_t leadBofs, uint32_t turnaroundUs) = 0;
    // Waits at least this long before the next frame goes.
    virtual void pauseMs(uint32_t milliseconds) = 0;
    // A failure the port met while no frame was read or sent (a wait on a lost port), once.
    virtual IrErr takeError() { return IR_OK; }
    // A read that met only noise before any BOF gives up once the line has been quiet this long
    // (0, the default: it hunts its whole time), so that a stray byte of light does not keep a
    // station from its slots and repeats.
    virtual void setNoiseQuietMs(uint16_t /*milliseconds*/) {}

  protected:
    FramePort() = default;
    FramePort(const FramePort&) = default;
    FramePort& operator=(const FramePort&) = default;
};

// Frames as SIR over a byte link. The port behind it gives the speed and the reset; the clock is
// the byte link's unless the port overrides it.
class SirFramePort : public FramePort {
  public:
    uint32_t nowMs() override { return bytes->nowMs(); }
    bool frameBegun(uint32_t waitMs) override;
    LapFrameIn receiveFrame(RxFrame& buffer) override;
    IrErr sendFrame(const uint8_t* content, uint16_t length) override;
    void setPeerNeeds(uint16_t leadBofs, uint32_t turnaroundUs) override {
        bytes->setPeerNeeds(leadBofs, turnaroundUs);
    }
    void pauseMs(uint32_t milliseconds) override { bytes->pauseUs(milliseconds * 1000U); }
    IrErr takeError() override { return bytes->takeError(); }
    void setNoiseQuietMs(uint16_t milliseconds) override { noiseQuietMs = milliseconds; }
    ByteLink& byteLink() { return *bytes; }
    // Frames that began but did not arrive intact, since the port was made; any thread may look.
    uint32_t framesDamaged() const { return damagedFrames.load(); }

  protected:
    explicit SirFramePort(ByteLink& link) : bytes(&link) {}
    // Another byte link under the same frames (a test's scripted line).
    void rebind(ByteLink& link) { bytes = &link; }

  private:
    ByteLink* bytes;
    uint16_t noiseQuietMs = 0;
    std::atomic<uint32_t> damagedFrames{0};
};
