// The channel calls of the C interface: read, write, bytes available, the descriptor, the linger
// and the two closes. Every wait is one wait on the channel's readiness.
#include <algorithm>

#include "irs_session.h"

namespace {

constexpr size_t LONG_MAX_BYTES = 0x7FFFFFFF;

// Waits up to the linger for the channel's queued bytes to be acknowledged.
int linger(IrsPort& port, IrsChannel& channel, int lingerMs) {
    const IrsDeadline deadline(lingerMs);
    for (;;) {
        const uint32_t seen = hostReadyChanges(channel.ready);
        if (port.connection().laneUnacknowledged(channel.lane) == 0) {
            return IRS_OK;
        }
        const int failure = irsChannelFailure(port, channel);
        if (failure != IRS_OK) {
            return failure;
        }
        if (deadline.passed()) {
            return IRS_ERR_TIMEOUT; // what is left is dropped
        }
        hostReadyWait(channel.ready, seen, deadline.left());
    }
}

// The LM disconnect, and with the last channel the link's end, told to the peer; then the
// station stops.
void endChannel(IrsPort& port, IrsChannel& channel) {
    const uint8_t lane = channel.lane;
    const bool linkUp = !port.linkDown();
    if (linkUp && (lane > 0 || port.laneOpen(0))) {
        if (port.computer) {
            port.computer->closeChannel(lane);
        } else {
            port.device->closeChannel(lane);
        }
    }
    if (port.inUse()) {
        return;
    }
    port.endLink();
    port.stopStation();
}

int closeWith(irs_channel* handle, bool abortive) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (irsInsideLog()) {
        return IRS_ERR_STATE; // the station's thread may be the one running the log
    }
    int result = IRS_OK;
    if (!abortive) {
        // Outside the operation lock: other channels go on meanwhile.
        result = linger(*port, *channel, channel->lingerMs.load());
        if (result == IRS_ERR_HANDLE) {
            return result; // the port or the channel was closed meanwhile
        }
    }
    const std::lock_guard<std::mutex> hold(port->operationLock);
    if (!irsChannelRetire({port, channel, generation})) {
        return IRS_ERR_HANDLE; // another thread closed it first
    }
    channel->open.store(false);
    endChannel(*port, *channel);
    port->updateSignal(*channel);
    return result;
}

} // namespace

extern "C" long irs_read(irs_channel* handle, void* buffer, size_t size, int timeoutMs) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (buffer == nullptr || size == 0) {
        return IRS_ERR_ARG;
    }
    // Inside the log function nothing waits: the station that would answer is the one logging.
    const bool inLog = irsInsideLog();
    std::unique_lock<std::mutex> hold(channel->readLock, std::defer_lock);
    if (!irsLockOutsideLog(hold)) {
        return IRS_ERR_STATE;
    }
    if (channel->generation.load() != generation) {
        return IRS_ERR_HANDLE; // closed since
    }
    const IrsDeadline deadline(inLog ? 0 : timeoutMs);
    const uint8_t lane = channel->lane;
    for (;;) {
        const uint32_t seen = hostReadyChanges(channel->ready);
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
        hostReadyWait(channel->ready, seen, deadline.left());
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
    // Inside the log function nothing waits: the station that would answer is the one logging.
    const bool inLog = irsInsideLog();
    std::unique_lock<std::mutex> hold(channel->writeLock, std::defer_lock);
    if (!irsLockOutsideLog(hold)) {
        return IRS_ERR_STATE;
    }
    if (channel->generation.load() != generation) {
        return IRS_ERR_HANDLE; // closed since
    }
    const IrsDeadline deadline(inLog ? 0 : timeoutMs);
    const uint8_t lane = channel->lane;
    const auto* bytes = static_cast<const uint8_t*>(data);
    const size_t total = std::min(size, LONG_MAX_BYTES);
    size_t queued = 0;
    while (queued < total) {
        const uint32_t seen = hostReadyChanges(channel->ready);
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
            break;
        }
        hostReadyWait(channel->ready, seen, deadline.left());
    }
    port->updateSignal(*channel);
    return queued > 0 ? static_cast<long>(queued) : static_cast<long>(IRS_ERR_TIMEOUT);
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
    if (fd < 0) {
        return IRS_ERR_IO;
    }
    port->updateSignal(*channel);
    return fd;
}

extern "C" int irs_channel_set_linger(irs_channel* handle, int lingerMs) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (lingerMs < 0 || lingerMs > IRS_LINGER_MAX_MS) {
        return IRS_ERR_ARG;
    }
    channel->lingerMs.store(lingerMs);
    return IRS_OK;
}

extern "C" int irs_channel_close(irs_channel* handle) {
    return closeWith(handle, false);
}

extern "C" int irs_channel_abort(irs_channel* handle) {
    return closeWith(handle, true);
}
