// A channel's bytes through the port object: lane 0 is the link's first channel (the
// connection's own queues), the others its LM-MUX channels. A free channel has none: its engine
// may not have started.
#include "irport.h"

namespace {

bool valid(int channel) {
    return channel >= 0 && static_cast<size_t>(channel) < IRPORT_CHANNELS;
}

} // namespace

bool IrPort::isOpen(int channel) const {
    return valid(channel) && (channels[static_cast<size_t>(channel)].slot == Slot::OPEN ||
                              channels[static_cast<size_t>(channel)].slot == Slot::CLOSING);
}

size_t IrPort::read(int channel, uint8_t* buffer, size_t size) {
    if (!valid(channel) || channels[static_cast<size_t>(channel)].slot == Slot::FREE || !running) {
        return 0;
    }
    const auto lane = static_cast<uint8_t>(channel);
    LapConnection& held = connectionOf(channel);
    return lane == 0 ? held.receive(buffer, size) : held.extra(lane).read(buffer, size);
}

size_t IrPort::write(int channel, const uint8_t* data, size_t size) {
    if (!isOpen(channel) || !running || !laneOpen(channel)) {
        return 0;
    }
    const auto lane = static_cast<uint8_t>(channel);
    // Never more than the room: the first channel's queue would wait for it.
    const size_t fits = std::min(size, static_cast<size_t>(std::max(room(channel), 0)));
    if (fits == 0) {
        return 0;
    }
    return lane == 0 ? connection().send(data, fits) : connection().extra(lane).write(data, fits);
}

int IrPort::room(int channel) {
    if (!isOpen(channel) || !running || !laneOpen(channel)) {
        return 0;
    }
    const auto lane = static_cast<uint8_t>(channel);
    return lane == 0 ? connection().room() : connection().extra(lane).room();
}

int IrPort::available(int channel) {
    if (!valid(channel) || channels[static_cast<size_t>(channel)].slot == Slot::FREE || !running) {
        return 0;
    }
    const auto lane = static_cast<uint8_t>(channel);
    LapConnection& held = connectionOf(channel);
    return lane == 0 ? held.available() : held.extra(lane).available();
}

int IrPort::unacknowledged(int channel) {
    if (!valid(channel) || channels[static_cast<size_t>(channel)].slot == Slot::FREE || !running) {
        return 0;
    }
    return connectionOf(channel).laneUnacknowledged(static_cast<uint8_t>(channel));
}

ChannelInfo IrPort::describe(int channel) {
    if (!valid(channel) || !running) {
        return {};
    }
    const auto lane = static_cast<uint8_t>(channel);
    return role == IRPORT_COMPUTER ? computer.describeLane(lane) : device.describeLane(lane);
}
