#include "lap_data.h"

void lapSendHeld(ByteLink& byteLink, HeldFrame& held, uint16_t length) {
    held.length = length;
    held.awaitingAck = length >= 2 && (held.frame[1] & 1) == 0;
    sirSendFrame(byteLink, held.frame.data(), held.length);
}

void lapRepeatHeld(ByteLink& byteLink, const HeldFrame& held) {
    sirSendFrame(byteLink, held.frame.data(), held.length);
}

void lapResendHeld(ByteLink& byteLink, HeldFrame& held, const LinkRecord& link) {
    held.frame[1] = static_cast<uint8_t>((held.frame[1] & 0x1F) | (link.vr << 5));
    sirSendFrame(byteLink, held.frame.data(), held.length);
}

void lapNoteAck(HeldFrame& held, const LinkRecord& link) {
    if (held.awaitingAck && lapNs(held.frame[1]) != link.vs) {
        held.awaitingAck = false;
    }
}

void lapTakeNr(LinkRecord& link, HeldFrame& held, uint8_t control) {
    link.vs = lapNr(control);
    lapNoteAck(held, link);
}

void lapAcceptIFrame(LinkRecord& link, uint8_t control) {
    link.vs = lapNr(control);
    link.vr = lapSeqNext(link.vr);
}

void lapRefuseIFrame(LinkRecord& link) {
    link.vr = lapSeqPrevious(link.vr);
}
