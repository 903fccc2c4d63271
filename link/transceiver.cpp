// Transceiver control common to both variants: the binding and the line and delay helpers.
#include "transceiver.h"

#include <atomic>

namespace {

std::atomic<const TransceiverBinding*> boundTo{nullptr};

} // namespace

void transceiverBind(const TransceiverBinding* binding) {
    boundTo.store(binding);
}

void transceiverSetLines(uint8_t dtr, uint8_t rts) {
    const TransceiverBinding* binding = boundTo.load();
    // One test of the port for both lines, so a pair is never half applied by this call.
    if (binding == nullptr || !binding->portIsOpen()) {
        return;
    }
    binding->setDtr(dtr);
    binding->setRts(rts);
}

void transceiverDelayMs(uint8_t milliseconds) {
    const TransceiverBinding* binding = boundTo.load();
    if (binding != nullptr) {
        binding->delayMs(milliseconds);
    }
}

void transceiverStart() {
    transceiverReset();
    transceiverSetSpeed(9600);
}
