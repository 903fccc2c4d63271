#include "wire_frames.h"

#include <cstddef>

namespace {

constexpr size_t BAUD_VALUE = 2; // offset of the baud-rate value in the list

Bytes withParams(Bytes frame, uint8_t baudCode) {
    const size_t start = frame.size();
    frame.insert(frame.end(), wire::PARAMS.begin(), wire::PARAMS.end());
    frame[start + BAUD_VALUE] = baudCode;
    return frame;
}

} // namespace

namespace wire {

Bytes snrm(uint8_t connectionByte, uint8_t baudCode, const Bytes& destination) {
    Bytes frame = {0xFF, 0x93};
    frame.insert(frame.end(), PRIMARY_ADDRESS.begin(), PRIMARY_ADDRESS.end());
    frame.insert(frame.end(), destination.begin(), destination.end());
    frame.push_back(connectionByte);
    return withParams(frame, baudCode);
}

Bytes uaParams(uint8_t connectionByte, uint8_t baudCode) {
    Bytes frame = {connectionByte, 0x73};
    frame.insert(frame.end(), SECONDARY_ADDRESS.begin(), SECONDARY_ADDRESS.end());
    frame.insert(frame.end(), PRIMARY_ADDRESS.begin(), PRIMARY_ADDRESS.end());
    return withParams(frame, baudCode);
}

} // namespace wire
