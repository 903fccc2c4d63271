// The channel calls of the C interface: read, write, bytes available, the descriptor and close.
#include <algorithm>

#include "irs_session.h"

namespace {

// Waits look again this often, so a close or a lost channel ends them soon.
constexpr uint32_t READ_SLICE_MS = 50;
constexpr uint32_t ROOM_LOOK_MS = 2;
constexpr size_t LONG_MAX_BYTES = 0x7FFFFFFF;

} // namespace

extern "C" long irs_read(irs_channel* channel, void* buffer, size_t size, int timeoutMs) {
    const auto port = irsFindChannel(channel);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (buffer == nullptr || size == 0) {
        return IRS_ERR_ARG;
    }
    const std::lock_guard<std::mutex> hold(port->channel.readLock);
    if (!port->channel.open.load()) {
        return IRS_ERR_STATE;
    }
    const IrsDeadline deadline(timeoutMs);
    LapConnection& conn = port->connection();
    uint32_t seen = 0;
    for (;;) {
        const size_t taken =
            conn.receive(static_cast<uint8_t*>(buffer), std::min(size, LONG_MAX_BYTES));
        if (taken > 0) {
            port->updateSignal();
            return static_cast<long>(taken);
        }
        const int failure = irsChannelFailure(*port);
        if (failure != IRS_OK) {
            // Bytes that came just before the end are still read first.
            if (conn.available() > 0) {
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

extern "C" long irs_write(irs_channel* channel, const void* data, size_t size, int timeoutMs) {
    const auto port = irsFindChannel(channel);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (data == nullptr || size == 0) {
        return IRS_ERR_ARG;
    }
    const std::lock_guard<std::mutex> hold(port->channel.writeLock);
    if (!port->channel.open.load()) {
        return IRS_ERR_STATE;
    }
    const IrsDeadline deadline(timeoutMs);
    LapConnection& conn = port->connection();
    const auto* bytes = static_cast<const uint8_t*>(data);
    const size_t total = std::min(size, LONG_MAX_BYTES);
    size_t queued = 0;
    while (queued < total) {
        const int failure = irsChannelFailure(*port);
        if (failure != IRS_OK) {
            return queued > 0 ? static_cast<long>(queued) : static_cast<long>(failure);
        }
        // Never more than the room, so the queueing never blocks past the deadline.
        const int room = conn.room();
        if (room > 0) {
            queued +=
                conn.send(bytes + queued, std::min(total - queued, static_cast<size_t>(room)));
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

extern "C" long irs_available(irs_channel* channel) {
    const auto port = irsFindChannel(channel);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (!port->channel.open.load()) {
        return IRS_ERR_STATE;
    }
    return port->connection().available();
}

extern "C" int irs_fd(irs_channel* channel) {
    const auto port = irsFindChannel(channel);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (!port->channel.open.load()) {
        return IRS_ERR_STATE;
    }
    if (!HOST_READY_FD) {
        return IRS_ERR_UNSUPPORTED;
    }
    const int fd = hostReadyFd(port->channel.ready);
    return fd >= 0 ? fd : IRS_ERR_IO;
}

extern "C" int irs_channel_close(irs_channel* channel) {
    const auto port = irsFindChannel(channel);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    const std::lock_guard<std::mutex> hold(port->operationLock);
    if (!port->channel.open.exchange(false)) {
        return IRS_ERR_STATE;
    }
    port->stopStation();
    port->updateSignal();
    return IRS_OK;
}
