#include "lap_port.h"

#include <algorithm>
#include <cstdint>

bool SirFramePort::frameBegun(uint32_t waitMs) {
    return bytes->waitByte(static_cast<uint16_t>(std::min<uint32_t>(waitMs, UINT16_MAX)));
}

LapFrameIn SirFramePort::receiveFrame(RxFrame& buffer) {
    // Zeroed per read so nothing of an earlier, longer frame lingers behind this one.
    buffer.fill(0);
    LapFrameIn in;
    in.length = sirReceiveFrame(*bytes, buffer, &in.damaged, noiseQuietMs);
    if (in.length == 0) {
        in.error = bytes->takeError();
    }
    if (in.damaged) {
        damagedFrames.fetch_add(1);
    }
    return in;
}

IrErr SirFramePort::sendFrame(const uint8_t* content, uint16_t length) {
    sirSendFrame(*bytes, content, length);
    return bytes->takeError();
}
