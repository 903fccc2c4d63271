// The in-process status calls: what a port's link and a channel are doing, read from any thread
// without waiting for a discovery, connect or listen under way.
#include <cstdio>

#include "irs_local.h"

namespace {

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

int irsLocalPortStatus(IrsPort& port, irs_port_state& status) {
    IrsLocal& local = *port.local;
    // Fresh; inside the log function, where the port's holder may be waiting for the thread that
    // logs, as of the service thread's last turn unless the port is free at once.
    std::unique_lock<std::mutex> hold(local.lock, std::defer_lock);
    if (irsLockOutsideLog(hold)) {
        irsLocalKeepStatus(local);
    }
    status.phase = local.phase.load();
    if (status.phase >= IRS_PHASE_CONNECTED) {
        status.peer_address = local.peer.load();
        irsAddressText(status.peer_address, status.peer_text);
        status.speed = local.speed.load();
    }
    status.port_error = port.line.lostError() != 0 ? port.line.lostSystemError() : 0;
    static_assert(PRIMARY_GIVE_UP_MS == SECONDARY_GIVE_UP_MS, "either role gives up as late");
    const IrErr last =
        port.line.lostError() != 0 ? IR_ERR_PORT_LOST : static_cast<IrErr>(local.lastError.load());
    describe(last, port.line.lostError(), PRIMARY_GIVE_UP_MS, status.last_error,
             sizeof status.last_error);
    return IRS_OK;
}

int irsLocalChannelStatus(IrsPort& port, IrsChannel& channel, irs_channel_state& status) {
    std::unique_lock<std::mutex> hold(port.local->lock, std::defer_lock);
    if (!irsLockOutsideLog(hold)) {
        return IRS_ERR_STATE;
    }
    IrPort& engine = port.local->port;
    status.open = irsChannelFailure(port, channel) == IRS_OK ? 1 : 0;
    status.available = engine.available(channel.lane);
    status.room = status.open != 0 ? engine.room(channel.lane) : 0;
    status.unacknowledged = engine.unacknowledged(channel.lane);
    return IRS_OK;
}
