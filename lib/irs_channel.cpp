// The channel calls of the C interface: read, write, bytes available, the descriptor and close.
#include <algorithm>

#include "irs_session.h"

namespace {

// A waiting read wakes for each delivery, and looks at least this often for a close or the
// channel's end; an idle reader wakes no more than that.
constexpr uint32_t READ_SLICE_MS = 200;
constexpr uint32_t ROOM_LOOK_MS = 2;
constexpr size_t LONG_MAX_BYTES = 0x7FFFFFFF;

} // namespace

extern "C" long irs_read(irs_channel* handle, void* buffer, size_t size, int timeoutMs) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (buffer == nullptr || size == 0) {
        return IRS_ERR_ARG;
    }
    const std::lock_guard<std::mutex> hold(channel->readLock);
    if (channel->generation.load() != generation) {
        return IRS_ERR_HANDLE; // closed since
    }
    const IrsDeadline deadline(timeoutMs);
    LapConnection& conn = port->connection();
    const uint8_t lane = channel->lane;
    uint32_t seen = 0;
    for (;;) {
        const size_t taken =
            port->laneRead(lane, static_cast<uint8_t*>(buffer), std::min(size, LONG_MAX_BYTES));
        if (taken > 0) {
            port->updateSignal(*channel);
            return static_cast<long>(taken);
        }
        const int failure = irsChannelFailure(*port, *channel);
        if (failure != IRS_OK) {
            // Bytes that came just before the end are still read first.
            if (port->laneAvailable(lane) > 0) {
                continue;
            }
            return failure;
        }
        if (deadline.passed()) {
            return IRS_ERR_TIMEOUT;
        }
        lapWatchWaitDelivery(conn.watch(), seen, deadline.wait(READ_SLICE_MS));
    }
}

extern "C" long irs_write(irs_channel* handle, const void* data, size_t size, int timeoutMs) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (data == nullptr || size == 0) {
        return IRS_ERR_ARG;
    }
    const std::lock_guard<std::mutex> hold(channel->writeLock);
    if (channel->generation.load() != generation) {
        return IRS_ERR_HANDLE; // closed since
    }
    const IrsDeadline deadline(timeoutMs);
    const uint8_t lane = channel->lane;
    const auto* bytes = static_cast<const uint8_t*>(data);
    const size_t total = std::min(size, LONG_MAX_BYTES);
    size_t queued = 0;
    while (queued < total) {
        const int failure = irsChannelFailure(*port, *channel);
        if (failure != IRS_OK) {
            return queued > 0 ? static_cast<long>(queued) : static_cast<long>(failure);
        }
        // Never more than the room, so the queueing never blocks past the deadline.
        const int room = port->laneRoom(lane);
        if (room > 0) {
            queued += port->laneWrite(lane, bytes + queued,
                                      std::min(total - queued, static_cast<size_t>(room)));
            continue;
        }
        if (deadline.passed()) {
            return queued > 0 ? static_cast<long>(queued) : static_cast<long>(IRS_ERR_TIMEOUT);
        }
        // The engine signals room only inside the connection; a short look is enough here.
        Sleep(deadline.wait(ROOM_LOOK_MS));
    }
    return static_cast<long>(queued);
}

extern "C" long irs_available(irs_channel* handle) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    return port->laneAvailable(channel->lane);
}

extern "C" int irs_fd(irs_channel* handle) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (!HOST_READY_FD) {
        return IRS_ERR_UNSUPPORTED;
    }
    const int fd = hostReadyFd(channel->ready);
    if (fd < 0 || !port->startNotifier()) {
        return IRS_ERR_IO;
    }
    port->updateSignal(*channel);
    return fd;
}

extern "C" int irs_channel_close(irs_channel* handle) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (irsInsideLog()) {
        return IRS_ERR_STATE;
    }
    const std::lock_guard<std::mutex> hold(port->operationLock);
    if (!irsChannelRetire({port, channel, generation})) {
        return IRS_ERR_HANDLE; // another thread closed it first
    }
    channel->open.store(false);
    if (!port->inUse()) {
        port->stopStation(); // the link ends with its last channel
    } else if (channel->lane > 0 || port->laneOpen(0)) {
        if (port->computer) {
            port->computer->closeChannel(channel->lane);
        } else {
            port->device->closeChannel(channel->lane);
        }
    }
    port->updateSignal(*channel);
    return IRS_OK;
}
