// The in-process status calls: what a port's link and a channel are doing, read from any thread
// without waiting for a discovery, connect or listen under way.
#include <cstdio>

#include "irs_local.h"
#include "irs_session.h"

namespace {

int phaseOf(IrsPort& port) {
    const bool running = port.computer ? port.computer->runFlag().load() && !port.computer->halted()
                                       : port.device->runFlag().load();
    if (!running) {
        return IRS_PHASE_IDLE;
    }
    if (port.device && !port.device->discoverable() &&
        port.connection().phase() == LINK_SEARCHING) {
        return IRS_PHASE_IDLE; // its link ended and no one has asked it to listen since
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

// The system's words for the errors our ports report.
const char* systemText(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        return "no such device";
    case ERROR_ACCESS_DENIED:
        return "access denied";
    case ERROR_INVALID_HANDLE:
        return "invalid handle";
    case ERROR_GEN_FAILURE:
        return "device not functioning";
    case ERROR_OPERATION_ABORTED:
        return "operation aborted";
    case ERROR_DEVICE_NOT_CONNECTED:
        return "device not connected";
    case ERROR_DEVICE_REMOVED:
        return "device removed";
    default:
        return nullptr;
    }
}

// Why the last link failed, as the user reads it.
void describe(IrErr last, DWORD portError, uint32_t giveUpMs, char* text, size_t size) {
    if (last == IR_ERR_TIMEOUT) {
        std::snprintf(text, size, "peer gone: no answer for %u.%u s",
                      static_cast<unsigned>(giveUpMs / 1000),
                      static_cast<unsigned>(giveUpMs % 1000 / 100));
    } else if (last == IR_ERR_PORT_LOST) {
        const char* words = systemText(portError);
        if (words != nullptr) {
            std::snprintf(text, size, "port lost: %s", words);
        } else {
            std::snprintf(text, size, "port lost: system error %lu",
                          static_cast<unsigned long>(portError));
        }
    } else if (last != IR_OK) {
        std::snprintf(text, size, "%s", irErrText(last));
    }
}

} // namespace

int irsLocalPortStatus(IrsPort& portRef, irs_port_state& out) {
    IrsPort* const port = &portRef;
    irs_port_state* const status = &out;
    status->phase = phaseOf(*port);
    LinkWatch& watch = port->connection().watch();
    if (status->phase >= IRS_PHASE_CONNECTED) {
        status->peer_address = watch.peerAddress.load();
        irsAddressText(status->peer_address, status->peer_text);
        status->speed = watch.speed.load();
    }
    status->port_error = port->line.lostError() != 0 ? port->line.lostSystemError() : 0;
    const IrErr last = port->computer ? port->computer->lastError() : port->device->lastError();
    describe(last, port->line.lostError(),
             port->computer ? PRIMARY_GIVE_UP_MS : SECONDARY_GIVE_UP_MS, status->last_error,
             sizeof status->last_error);
    return IRS_OK;
}

int irsLocalChannelStatus(IrsPort& portRef, IrsChannel& channelRef, irs_channel_state& out) {
    IrsPort* const port = &portRef;
    IrsChannel* const channel = &channelRef;
    irs_channel_state* const status = &out;
    const uint8_t lane = channel->lane;
    status->open = irsChannelFailure(*port, *channel) == IRS_OK ? 1 : 0;
    status->available = port->laneAvailable(lane);
    status->room = status->open != 0 ? port->laneRoom(lane) : 0;
    status->unacknowledged = port->connection().laneUnacknowledged(lane);
    return IRS_OK;
}
