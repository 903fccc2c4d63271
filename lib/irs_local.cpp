// The in-process transport: the channel calls on the station's lanes, the linger and the two
// closes, and the table that gathers the transport's calls.
#include <algorithm>

#include "irport_codes.h"
#include "irs_local.h"

// The port layer answers with the header's codes and phases, value for value.
static_assert(IRPORT_OK == IRS_OK && IRPORT_ERR_ARG == IRS_ERR_ARG &&
              IRPORT_ERR_HANDLE == IRS_ERR_HANDLE && IRPORT_ERR_STATE == IRS_ERR_STATE &&
              IRPORT_ERR_TIMEOUT == IRS_ERR_TIMEOUT && IRPORT_ERR_PORT == IRS_ERR_PORT &&
              IRPORT_ERR_PORT_LOST == IRS_ERR_PORT_LOST &&
              IRPORT_ERR_PEER_GONE == IRS_ERR_PEER_GONE &&
              IRPORT_ERR_NO_SERVICE == IRS_ERR_NO_SERVICE && IRPORT_ERR_IO == IRS_ERR_IO &&
              IRPORT_ERR_UNSUPPORTED == IRS_ERR_UNSUPPORTED &&
              IRPORT_ERR_NO_MEMORY == IRS_ERR_NO_MEMORY);
static_assert(IRPORT_PHASE_IDLE == IRS_PHASE_IDLE &&
              IRPORT_PHASE_SEARCHING == IRS_PHASE_SEARCHING &&
              IRPORT_PHASE_CONNECTED == IRS_PHASE_CONNECTED && IRPORT_PHASE_OPEN == IRS_PHASE_OPEN);
static_assert(IRPORT_WINDOW_MAX == IRS_WINDOW_MAX && IRPORT_FRAME_MIN == IRS_FRAME_MIN &&
              IRPORT_FRAME_MAX == IRS_FRAME_MAX);

namespace {

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

int closeChannel(const IrsChannelRef& found, bool abortive) {
    IrsPort* const port = found.port.get();
    IrsChannel* const channel = found.channel;
    int result = IRS_OK;
    if (!abortive) {
        // Outside the operation lock: other channels go on meanwhile.
        result = linger(*port, *channel, channel->lingerMs.load());
        if (result == IRS_ERR_HANDLE) {
            return result; // the port or the channel was closed meanwhile
        }
    }
    const std::lock_guard<std::mutex> hold(port->operationLock);
    if (!irsChannelRetire(found)) {
        return IRS_ERR_HANDLE; // another thread closed it first
    }
    channel->open.store(false);
    endChannel(*port, *channel);
    port->updateSignal(*channel);
    return result;
}

size_t take(IrsPort& port, IrsChannel& channel, uint8_t* buffer, size_t size) {
    return port.laneRead(channel.lane, buffer, size);
}

size_t put(IrsPort& port, IrsChannel& channel, const uint8_t* data, size_t size) {
    const int room = port.laneRoom(channel.lane);
    return room > 0 ? port.laneWrite(channel.lane, data, std::min(size, static_cast<size_t>(room)))
                    : 0;
}

long available(IrsPort& port, IrsChannel& channel) {
    return port.laneAvailable(channel.lane);
}

uint32_t mark(IrsChannel& channel) {
    return hostReadyChanges(channel.ready);
}

void wait(IrsPort& /*port*/, IrsChannel& channel, uint32_t seen, bool /*writing*/, int waitMs) {
    hostReadyWait(channel.ready, seen, waitMs);
}

void changed(IrsPort& port, IrsChannel& channel) {
    port.updateSignal(channel);
}

int fd(IrsPort& port, IrsChannel& channel) {
    if (!HOST_READY_FD) {
        return IRS_ERR_UNSUPPORTED;
    }
    const int fd = hostReadyFd(channel.ready);
    if (fd < 0) {
        return IRS_ERR_IO;
    }
    port.updateSignal(channel);
    return fd;
}

} // namespace

const IrsTransport IRS_LOCAL_TRANSPORT{
    .portStatus = irsLocalPortStatus,
    .setLinkLimits = irsLocalSetLinkLimits,
    .setIdentity = irsLocalSetIdentity,
    .discover = irsLocalDiscover,
    .openChannel = irsLocalOpenChannel,
    .query = irsLocalQuery,
    .close = irsLocalClose,
    .take = take,
    .put = put,
    .available = available,
    .failure = irsChannelFailure,
    .drained = [](IrsPort& /*port*/, IrsChannel& /*channel*/) { return true; },
    .mark = mark,
    .wait = wait,
    .changed = changed,
    .fd = fd,
    .channelStatus = irsLocalChannelStatus,
    .describe = irsLocalDescribe,
    .closeChannel = closeChannel,
};
