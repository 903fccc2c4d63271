// Recording transceiver binding.
#include "transceiver_recorder.h"

std::vector<std::string> recordedEvents;
bool recordedPortOpen = true;

namespace {

bool recordPortIsOpen(void* /*context*/) {
    return recordedPortOpen;
}
void recordDtr(void* /*context*/, uint8_t level) {
    recordedEvents.push_back("D" + std::to_string(level));
}
void recordRts(void* /*context*/, uint8_t level) {
    recordedEvents.push_back("R" + std::to_string(level));
}
void recordDelay(void* /*context*/, uint8_t milliseconds) {
    recordedEvents.push_back("W" + std::to_string(milliseconds));
}

const TransceiverBinding RECORDER{nullptr, recordPortIsOpen, recordDtr, recordRts, recordDelay};

} // namespace

const TransceiverBinding& recorderBinding() {
    return RECORDER;
}

void bindRecorder() {
    recordedEvents.clear();
    recordedPortOpen = true;
}
