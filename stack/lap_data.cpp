#include "lap_data.h"

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
