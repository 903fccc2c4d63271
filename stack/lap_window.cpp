#include "lap_window.h"

#include "lap.h"

void LapWindow::reset(uint8_t firstNs) {
    head = 0;
    count = 0;
    oldest = static_cast<uint8_t>(firstNs & 7);
    for (auto& bytes : laneInFlight) {
        bytes.store(0);
    }
}

void LapWindow::add(uint16_t length, uint8_t lane, uint16_t userBytes) {
    if (count >= LAP_WINDOW_MAX || lane >= MUX_CHANNELS) {
        return; // a full window takes nothing: the caller checks full() first
    }
    LapHeldIFrame& held = slotAt(count);
    held.length = length < held.frame.size() ? length : static_cast<uint16_t>(held.frame.size());
    held.lane = lane;
    held.userBytes = userBytes;
    held.sendings = 0;
    laneInFlight.at(lane).fetch_add(userBytes);
    ++count;
}

bool LapWindow::validNr(uint8_t nr) const {
    // How far past the oldest frame the Nr points: 0 acknowledges nothing, count all in flight.
    const auto ahead = static_cast<uint8_t>((nr - oldest) & 7);
    return ahead <= count;
}

LapAcknowledged LapWindow::acknowledge(uint8_t nr) {
    LapAcknowledged result;
    if (!validNr(nr)) {
        return result;
    }
    const auto ahead = static_cast<uint8_t>((nr - oldest) & 7);
    for (uint8_t i = 0; i < ahead; ++i) {
        const LapHeldIFrame& held = slotAt(0);
        laneInFlight.at(held.lane).fetch_sub(held.userBytes);
        if (!held.resent()) {
            ++result.clean;
        }
        head = static_cast<uint8_t>((head + 1) % LAP_WINDOW_MAX);
        --count;
    }
    result.frames = ahead;
    oldest = static_cast<uint8_t>(nr & 7);
    return result;
}

void LapWindow::stamp(LapHeldIFrame& held, uint8_t nr, bool final) {
    if (held.length < 2) {
        return;
    }
    const auto kept = static_cast<uint8_t>(held.frame[1] & 0x0E); // Ns and the I-frame's 0 bit
    held.frame[1] = static_cast<uint8_t>(kept | ((nr & 7) << 5) | (final ? LAP_PF : 0));
}
