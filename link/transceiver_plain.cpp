// The plain variant: no transceiver to command, so no reset pulse and no line changes; the port's
// own speed change is the whole of a speed switch.
#include "transceiver.h"

namespace {

// Raised once as the port opens; the port's settings keep them so (linesRaised).
void resetPlain(const TransceiverBinding& lines) {
    transceiverSetLines(lines, 1, 1);
}

void setSpeedPlain(const TransceiverBinding& /*lines*/, uint32_t /*speed*/) {}

} // namespace

// 9600 to 115200, less what the port refuses.
constexpr TransceiverVariant TRANSCEIVER_VARIANT_PLAIN{'p',           0x3E, resetPlain,
                                                       setSpeedPlain, true, true};
