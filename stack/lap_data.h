// IrLAP data transfer as both stations do it: sequence numbers, the held I-frame and its resend,
// the peer's acknowledgement and the refusal of a frame that cannot be taken.
#pragma once

#include <cstdint>
#include <span>

#include "lap.h"
#include "sir.h"

constexpr uint8_t lapNr(uint8_t control) {
    return static_cast<uint8_t>((control >> 5) & 7);
}

constexpr uint8_t lapNs(uint8_t control) {
    return static_cast<uint8_t>((control >> 1) & 7);
}

constexpr uint8_t lapSeqNext(uint8_t value) {
    return static_cast<uint8_t>((value + 1) & 7);
}

constexpr uint8_t lapSeqPrevious(uint8_t value) {
    return static_cast<uint8_t>((value + 7) & 7);
}

// The last frame a station built and sent, kept where it was built until the next one replaces it,
// so that it can be sent again.
struct HeldFrame {
    std::span<uint8_t> frame; // the station's transmit frame
    uint16_t length;
    // An I-frame whose Ns no Nr from the peer has passed yet.
    bool awaitingAck;
};

// Once vs has passed the held I-frame, an older Nr arriving later does not take that back.
void lapNoteAck(HeldFrame& held, const LinkRecord& link);
// The peer's Nr in `control` becomes vs.
void lapTakeNr(LinkRecord& link, HeldFrame& held, uint8_t control);
// An I-frame in sequence: its Nr becomes vs and vr moves past its Ns.
void lapAcceptIFrame(LinkRecord& link, uint8_t control);
// Takes back the acceptance of the I-frame just received: vr stays put, so the peer keeps the
// frame and sends it again.
void lapRefuseIFrame(LinkRecord& link);
