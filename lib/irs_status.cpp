// The status calls of the C interface: what a port's link and a channel are doing, read from any
// thread without waiting for a discovery, connect or listen under way.
#include <cstdio>

#include "irs_session.h"

namespace {

int phaseOf(IrsPort& port) {
    const bool running =
        port.computer ? port.computer->runFlag().load() : port.device->runFlag().load();
    if (!running) {
        return IRS_PHASE_IDLE;
    }
    switch (port.connection().phase()) {
    case LINK_OPEN:
        return IRS_PHASE_OPEN;
    case LINK_CONNECTED:
        return IRS_PHASE_CONNECTED;
    case LINK_SEARCHING:
        break;
    }
    return IRS_PHASE_SEARCHING;
}

} // namespace

extern "C" int irs_port_status(irs_port* handle, irs_port_state* status) {
    const auto port = irsFindPort(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (status == nullptr) {
        return IRS_ERR_ARG;
    }
    *status = irs_port_state{};
    status->phase = phaseOf(*port);
    LinkWatch& watch = port->connection().watch();
    if (status->phase >= IRS_PHASE_CONNECTED) {
        status->peer_address = watch.peerAddress.load();
        irsAddressText(status->peer_address, status->peer_text);
        status->speed = watch.speed.load();
    }
    status->port_error = port->line.lostError() != 0 ? port->line.lostSystemError() : 0;
    const IrErr last = port->computer ? port->computer->lastError() : port->device->lastError();
    if (last != IR_OK) {
        std::snprintf(status->last_error, sizeof status->last_error, "%s", irErrText(last));
    }
    return IRS_OK;
}

extern "C" int irs_channel_status(irs_channel* handle, irs_channel_state* status) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (status == nullptr) {
        return IRS_ERR_ARG;
    }
    const uint8_t lane = channel->lane;
    *status = irs_channel_state{};
    status->open = irsChannelFailure(*port, *channel) == IRS_OK ? 1 : 0;
    status->available = port->laneAvailable(lane);
    status->room = status->open != 0 ? port->laneRoom(lane) : 0;
    status->unacknowledged = port->connection().laneUnacknowledged(lane);
    return IRS_OK;
}
