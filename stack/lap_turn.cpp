#include "lap_turn.h"

#include "sir.h"

namespace {

bool escaped(uint8_t byte) {
    return byte == SIR_BOF || byte == SIR_EOF || byte == SIR_CE;
}

} // namespace

uint32_t lapWireLength(const uint8_t* content, uint16_t length, uint16_t leadBofs) {
    uint16_t fcs = FCS_INIT;
    uint32_t bytes = leadBofs + 2; // BOF and EOF
    for (uint16_t i = 0; i < length; ++i) {
        fcs = fcsUpdate(fcs, content[i]);
        bytes += escaped(content[i]) ? 2 : 1;
    }
    fcs = static_cast<uint16_t>(~fcs);
    for (const auto byte : {static_cast<uint8_t>(fcs & 0xFF), static_cast<uint8_t>(fcs >> 8)}) {
        bytes += escaped(byte) ? 2 : 1;
    }
    return bytes;
}

uint32_t lapTurnCapacity(const LapTerms& terms) {
    // Ten bits a byte on the wire.
    const uint64_t bytes = uint64_t{terms.speed} * terms.maxTurnaroundMs / 10 / 1000;
    return static_cast<uint32_t>(bytes * 4 / 5);
}

uint16_t lapFieldLimit(const LapTerms& terms) {
    const uint32_t frame = lapLeadBofs(terms) + 2 + LAP_FRAME_OVERHEAD;
    const uint32_t capacity = lapTurnCapacity(terms);
    uint32_t field = capacity > frame ? capacity - frame : 0;
    if (field > terms.dataSize) {
        field = terms.dataSize;
    }
    return static_cast<uint16_t>(field < LAP_MIN_FIELD ? LAP_MIN_FIELD : field);
}

void LapFieldSizer::lost() {
    cleanRun = 0;
    cut = true;
    const auto half = static_cast<uint16_t>(current / 2);
    current = half < LAP_MIN_FIELD ? (limit < LAP_MIN_FIELD ? limit : LAP_MIN_FIELD) : half;
}

void LapFieldSizer::clean() {
    if (current >= limit || ++cleanRun < LAP_CLEAN_RUN) {
        return;
    }
    cleanRun = 0;
    current = static_cast<uint16_t>(current * 2 > limit ? limit : current * 2);
    cut = current < limit;
}
