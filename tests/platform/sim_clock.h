// Simulated time for the platform's timing seam: sleeping advances the clock and runs the events
// (the receive thread's polls) that fall due, so timing tests run without real sleeping.
#pragma once

#include <cstdint>
#include <functional>

#include "platform.h"

class SimClock {
  public:
    SimClock();
    ~SimClock();
    SimClock(const SimClock&) = delete;
    SimClock& operator=(const SimClock&) = delete;

    // Calls `poll` every `periodUs` from `firstUs` on, as the receive thread would.
    void everyPeriod(uint64_t firstUs, uint64_t periodUs, std::function<void()> poll);
    void advanceUs(uint64_t microseconds);

    uint64_t nowUs = 0;
    uint64_t sleptMs = 0;
    uint32_t sleeps = 0;

  private:
    uint64_t nextEventUs = UINT64_MAX;
    uint64_t eventPeriodUs = 0;
    std::function<void()> event;
};
