// The in-process transport's port calls: open and close, connect and listen on the port's own
// station.
#include <cstring>
#include <new>

#include "discovery.h"
#include "irs_local.h"
#include "irs_session.h"
#include "lap_terms.h"

namespace {

const char* nameOrNull(const std::array<char, IAS_NAMES_MAX + 1>& name) {
    return name[0] != '\0' ? name.data() : nullptr;
}

// A discovery round found devices: the discovery waiting on the port may return.
void roundAnswered(void* context) {
    auto& port = *static_cast<IrsPort*>(context);
    const std::lock_guard<std::mutex> hold(port.closeLock);
    port.closeSignal.notify_all();
}

// The offer with the link's limits.
void setLimits(IrsPort& port, int maxWindow, int maxFrame) {
    const LapOffer offer = lapFullOffer(port.speedBits, static_cast<uint8_t>(maxWindow),
                                        static_cast<uint16_t>(maxFrame));
    if (port.computer) {
        port.computer->setOffer(offer);
    } else {
        port.device->setOffer(offer);
    }
}

int laneEndError(ChannelEnd reason) {
    return reason == CHANNEL_END_NO_SERVICE || reason == CHANNEL_END_REFUSED ? IRS_ERR_NO_SERVICE
                                                                             : IRS_ERR_PEER_GONE;
}

// The lane has failed for good (IRS_OK while it may still open).
int laneFailure(IrsPort& port, const IrsChannel& channel) {
    if (port.closing.load()) {
        return IRS_ERR_HANDLE;
    }
    if (port.line.lostError() != 0) {
        return IRS_ERR_PORT_LOST;
    }
    if (!port.stationLive.load()) {
        return IRS_ERR_PEER_GONE; // the last channel's close ended the link under it
    }
    if (!port.computer) {
        return IRS_OK;
    }
    if (channel.lane == 0) {
        return port.computer->serviceMissing() > 0 ? IRS_ERR_NO_SERVICE : IRS_OK;
    }
    LmChannel& lane = port.connection().extra(channel.lane);
    return lane.state() == CHANNEL_ENDED || lane.state() == CHANNEL_IDLE
               ? laneEndError(lane.endReason())
               : IRS_OK;
}

// Waits until the channel's lane opens and hands the channel out.
int awaitLane(IrsPort& port, IrsChannel& channel, int timeoutMs, irs_channel** out) {
    const IrsDeadline deadline(timeoutMs);
    for (;;) {
        const uint32_t seen = hostReadyChanges(channel.ready);
        if (port.laneOpen(channel.lane)) {
            channel.ended.store(false);
            channel.open.store(true);
            port.setAwaited(channel, false);
            port.updateSignal(channel);
            *out = irsChannelHandOut(port, channel);
            return IRS_OK;
        }
        if (port.device && channel.lane > 0 &&
            port.connection().extra(channel.lane).state() == CHANNEL_ENDED) {
            port.connection().extra(channel.lane).requestClose(); // ended before anyone took it
        }
        const int failure = laneFailure(port, channel);
        if (failure != IRS_OK) {
            return failure;
        }
        if (deadline.passed()) {
            return IRS_ERR_TIMEOUT;
        }
        hostReadyWait(channel.ready, seen, deadline.left());
    }
}

// A wait that failed: the lane goes back, and the station stops when nothing else needs it (a
// device keeps offering its services after a mere time-out).
void giveBack(IrsPort& port, IrsChannel& channel, int result) {
    port.setAwaited(channel, false);
    if (port.computer && channel.lane > 0) {
        port.computer->closeChannel(channel.lane);
    }
    const bool keep = port.device && result == IRS_ERR_TIMEOUT;
    if (!keep && !port.inUse()) {
        port.stopStation();
    }
}

bool sameName(const std::array<char, IAS_NAMES_MAX + 1>& a,
              const std::array<char, IAS_NAMES_MAX + 1>& b) {
    return std::strcmp(a.data(), b.data()) == 0;
}

int openChannel(IrsPort& portRef, const IrsService& service, int timeoutMs, irs_channel** channel) {
    IrsPort* const port = &portRef;
    const std::array<char, IAS_NAMES_MAX + 1>& wantedClass = service.className;
    const std::array<char, IAS_NAMES_MAX + 1>& wantedAttribute = service.attribute;
    const int lsap = service.lsap;
    const bool raw = service.mode == IRS_MODE_RAW;
    std::unique_lock<std::mutex> hold(port->operationLock);
    if (port->closing.load()) {
        return IRS_ERR_HANDLE; // closed while this call waited for the lock
    }
    IrsChannel* waiting = &port->channels[0];
    if (port->computer && port->stationLive.load() &&
        port->computer->state() == primary::PRIMARY_CONNECTED && port->inUse()) {
        // Another channel over the link that is up.
        const int lane = port->computer->addChannel(nameOrNull(wantedClass),
                                                    nameOrNull(wantedAttribute), lsap, raw);
        if (lane < 0) {
            return std::strlen(wantedClass.data()) + std::strlen(wantedAttribute.data()) >
                           IAS_NAMES_MAX
                       ? IRS_ERR_ARG
                       : IRS_ERR_NO_MEMORY;
        }
        waiting = &port->channels.at(static_cast<size_t>(lane));
        port->setAwaited(*waiting, true);
        hold.unlock();
    } else if (port->device && port->stationLive.load()) {
        // The station runs: the first service again, or one more beside it.
        int lane = 0;
        if (!sameName(wantedClass, port->className) ||
            !sameName(wantedAttribute, port->attribute) || raw != port->firstRaw) {
            lane =
                port->device->addService(nameOrNull(wantedClass), nameOrNull(wantedAttribute), raw);
        }
        if (lane < 0) {
            return IRS_ERR_NO_MEMORY;
        }
        waiting = &port->channels.at(static_cast<size_t>(lane));
        if (waiting->open.load() || waiting->awaited.load()) {
            return IRS_ERR_STATE;
        }
        port->setAwaited(*waiting, true);
        hold.unlock();
    } else {
        if (port->inUse()) {
            return IRS_ERR_STATE; // channels of a link that has gone are still open
        }
        port->stopStation();
        port->className = wantedClass;
        port->attribute = wantedAttribute;
        port->firstRaw = raw;
        const IrErr set = port->computer
                              ? port->computer->setService(nameOrNull(port->className),
                                                           nameOrNull(port->attribute), lsap, raw)
                              : port->device->setService(nameOrNull(port->className),
                                                         nameOrNull(port->attribute), raw);
        if (set != IR_OK) {
            return irsFromIrErr(set);
        }
        if (port->computer) {
            port->computer->setDiscoverOnly(false);
        }
        // Before the start, so a device answers the first discovery.
        port->setAwaited(*waiting, true);
        irsRestart(*port);
        // A computer's first channel sets the link up: other calls wait for it. A device's
        // listeners wait side by side.
        if (port->device) {
            hold.unlock();
        }
    }
    const int result = awaitLane(*port, *waiting, timeoutMs, channel);
    if (result != IRS_OK) {
        if (!hold.owns_lock()) {
            hold.lock();
        }
        giveBack(*port, *waiting, result);
    }
    return result;
}

} // namespace

void irsRestart(IrsPort& port) {
    for (IrsChannel& channel : port.channels) {
        channel.open.store(false);
        channel.ended.store(false);
    }
    port.stopStation();
    if (port.computer) {
        port.computer->init();
        port.computer->startTask();
    } else {
        port.device->setDemoAnswers(false);
        port.device->clearServices();
        port.device->init();
        port.device->startTask();
    }
    port.stationLive.store(true);
}

int irsLocalOpen(const char* path, const TransceiverVariant& transceiver, uint32_t maxSpeed,
                 int role, std::shared_ptr<IrsPort>& opened) {
    opened.reset(new (std::nothrow) IrsPort(transceiver, role));
    if (!opened) {
        return IRS_ERR_NO_MEMORY;
    }
    if (!opened->line.setPortName(path)) {
        return IRS_ERR_ARG;
    }
    irsLogInstall();
    // Held from now until irs_close, so no other program drives the same dongle meanwhile.
    const DWORD error = opened->line.hold();
    if (error != ERROR_SUCCESS) {
        return irsOpenError(path, error, hostSystemError());
    }
    opened->speedBits =
        lapBaudBitsUpTo(opened->line.offeredBaudBits(), maxSpeed != 0 ? maxSpeed : UINT32_MAX);
    setLimits(*opened, IRS_WINDOW_MAX, IRS_FRAME_MAX);
    if (opened->computer) {
        opened->computer->setRandomDiscovery(true);
        opened->computer->setRoundWatch(roundAnswered, opened.get());
    } else {
        opened->device->setRandomDiscovery(true);
    }
    return IRS_OK;
}

int irsLocalSetLinkLimits(IrsPort& port, int maxWindow, int maxFrame) {
    std::unique_lock<std::mutex> hold(port.operationLock, std::defer_lock);
    if (!irsLockOutsideLog(hold)) {
        return IRS_ERR_STATE; // the call under way may be the one waiting for the log
    }
    if (port.stationLive.load()) {
        return IRS_ERR_STATE; // the offer is read while the station runs
    }
    setLimits(port, maxWindow, maxFrame);
    return IRS_OK;
}

void irsLocalClose(IrsPort& port) {
    {
        // Under the lock, so a discovery between its look and its wait still wakes.
        const std::lock_guard<std::mutex> hold(port.closeLock);
        port.closing.store(true);
    }
    port.closeSignal.notify_all();
    port.updateSignal(); // waits in other threads end
    const std::lock_guard<std::mutex> hold(port.operationLock);
    for (IrsChannel& channel : port.channels) {
        channel.open.store(false);
    }
    port.stopStation();
    port.line.release();
}

int irsLocalOpenChannel(IrsPort& port, const IrsService& service, int timeoutMs,
                        irs_channel** channel) {
    return openChannel(port, service, timeoutMs, channel);
}
