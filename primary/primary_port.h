// What the primary engine needs below it: the byte link, the port reset and the speed switch.
// Bound to irphy by default; tests bind a scripted link instead.
#pragma once

#include <cstdint>

#include "sir.h"

namespace primary {

struct PrimaryPort {
    ByteLink* link = nullptr;
    void (*reset)() = nullptr;
    void (*setBaudRate)(uint32_t speed) = nullptr;
    // Milliseconds of the station's clock; nullptr: the host's.
    uint32_t (*tickCount)() = nullptr;
};

// nullptr restores the irphy binding. Call before primaryInit.
void primaryBindPort(const PrimaryPort* port);
const PrimaryPort& primaryPort();
// The port of primary_demo: irphy and its transceiver binding.
const PrimaryPort& primaryIrphyPort();

} // namespace primary
