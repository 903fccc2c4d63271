#include "sim_clock.h"

#include <utility>

namespace {

SimClock* active = nullptr;

uint32_t simTick() {
    return static_cast<uint32_t>(active->nowUs / 1000);
}

void simSleep(uint32_t milliseconds) {
    active->sleptMs += milliseconds;
    ++active->sleeps;
    active->advanceUs(uint64_t{milliseconds} * 1000);
}

constexpr PlatformTiming SIM_TIMING = {simTick, simSleep, nullptr};

} // namespace

SimClock::SimClock() {
    active = this;
    platformSetTiming(&SIM_TIMING);
}

SimClock::~SimClock() {
    platformSetTiming(nullptr);
    active = nullptr;
}

void SimClock::everyPeriod(uint64_t firstUs, uint64_t periodUs, std::function<void()> poll) {
    nextEventUs = firstUs;
    eventPeriodUs = periodUs;
    event = std::move(poll);
}

void SimClock::advanceUs(uint64_t microseconds) {
    const uint64_t target = nowUs + microseconds;
    while (event && nextEventUs <= target) {
        nowUs = nextEventUs;
        nextEventUs += eventPeriodUs;
        event();
    }
    nowUs = target;
}
