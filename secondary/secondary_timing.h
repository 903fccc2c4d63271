// When the secondary reads and when it gives a silent link up: the fixed profile counts its 50 ms
// steps exactly as the demos always have, the full profile measures time on the port's clock.
#pragma once

#include <cstdint>

#include "ir_options.h"
#include "lap_port.h"

class SecondaryTiming {
  public:
    explicit SecondaryTiming(FramePort& port) : clock(&port) {}

    void start(bool framePaced);
    // A step begins. Frame-paced steps come as often as frames do, so they count nothing but the
    // read marks.
    void beginStep();
    // The state changed in this step: reading and quiet count from here.
    void restart();
    // A frame has begun to arrive: the next step reads it.
    void frameBegun() { marks = BYTE_SEEN; }
    bool readDue() const { return marks == READ; }
    void readDone() { marks = 0; }
    // A valid frame of the connection (or one that moved the handshake on); nothing else, stray
    // bytes and damaged frames least of all, holds the give-up off. `linkMade`: it was the SNRM
    // (full profile), so the primary's first frame at the new speed is awaited, for a shorter
    // while: a UA lost on the way leaves the primary repeating its SNRM at 9600 bit/s.
    void validFrame(bool linkMade = false);
    bool quietTooLong() const;
    // The link was given up because its first frame never came: no peer went silent.
    bool firstFrameMissed() const { return awaitingFirst; }

  private:
    static constexpr uint8_t BYTE_SEEN = 100;
    static constexpr uint8_t READ = 101;
    static_assert(SECONDARY_GIVE_UP_STEP < BYTE_SEEN, "the read marks lie beyond the give-up");

    FramePort* clock;
    bool paced = false;
    // The fixed profile's step count, which also reaches the read marks by counting, so a silent
    // line is still read every 101st step.
    uint8_t marks = 0;
    uint8_t quietSteps = 0;
    uint32_t quietSinceMs = 0;
    bool awaitingFirst = false;
};
